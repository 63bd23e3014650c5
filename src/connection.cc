#include "src/connection.h"

#include <json/json.h>

#include <memory>

#include "rtc_base/location.h"
#include "rtc_base/messagequeue.h"
#include "rtc_base/thread.h"

namespace tavix {
namespace im {
namespace {

constexpr const char* kRequiredKeys[] = {"server_ip",       "server_port_kcp", "server_port_ws",
                                         "server_port_wss", "account_id",      "app_id",
                                         "device_type",     "token",           "deviceid"};

// JsonCpp's conversions throw on values they refuse; ask first, so that a refused
// value counts as a missing one.
bool ReadString(const Json::Value& value, std::string* out) {
  if (!value.isConvertibleTo(Json::stringValue))
    return false;
  *out = value.asString();
  return true;
}

// A port outside 1..65535 would be cut to 16 bits further down and name another port.
bool ReadPort(const Json::Value& value, int* out) {
  if (!value.isConvertibleTo(Json::intValue) || value.isBool())
    return false;
  const int port = value.asInt();
  if (port < 1 || port > 65535)
    return false;
  *out = port;
  return true;
}

}  // namespace

Connection::Connection() : thread_(rtc::Thread::Current()) {}

Connection::~Connection() = default;

bool Connection::Init(std::string param) {
  return ParseParam(std::move(param));
}

int Connection::SendData(const char* /*data*/, int /*length*/, ZEkMsgType /*type*/) {
  return 0;
}

void Connection::OnMessage(rtc::Message* /*msg*/) {}

bool Connection::ParseParam(std::string param) {
  Json::Value root;
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  try {
    // The reader throws, rather than fails, on nesting deeper than its limit.
    if (!reader->parse(param.data(), param.data() + param.size(), &root, nullptr))
      return false;
  } catch (const Json::Exception&) {
    return false;
  }
  if (!root.isObject())
    return false;
  // Read through a const reference: a missing member reads as null without being added.
  const Json::Value& object = root;
  for (const char* key : kRequiredKeys) {
    if (object[key].isNull())
      return false;
  }

  // Everything is read into locals first, so a refused value stores nothing.
  std::string server_ip, account_id, device_type, app_id, token, device_id;
  int port_kcp = 0, port_ws = 0, port_wss = 0;
  if (!ReadString(object["server_ip"], &server_ip) ||
      !ReadPort(object["server_port_kcp"], &port_kcp) ||
      !ReadPort(object["server_port_ws"], &port_ws) ||
      !ReadPort(object["server_port_wss"], &port_wss) ||
      !ReadString(object["account_id"], &account_id) ||
      !ReadString(object["device_type"], &device_type) || !ReadString(object["app_id"], &app_id) ||
      !ReadString(object["token"], &token) || !ReadString(object["deviceid"], &device_id)) {
    return false;
  }
  std::string tls = tls_;
  if (!object["tls"].isNull() && !ReadString(object["tls"], &tls))
    return false;

  server_ip_ = server_ip;
  server_port_kcp_ = port_kcp;
  server_port_ws_ = port_ws;
  server_port_wss_ = port_wss;
  account_id_ = account_id;
  device_type_ = device_type;
  app_id_ = app_id;
  token_ = token;
  device_id_ = device_id;
  tls_ = tls;
  return true;
}

void Connection::StartTimeout(int id, int ms) {
  if (ms <= 0)
    return;
  CancelTimeout(id);
  rtc::Thread::Current()->PostDelayed(RTC_FROM_HERE, ms, this, static_cast<uint32_t>(id));
}

void Connection::CancelTimeout(int id) {
  rtc::Thread::Current()->Clear(this, static_cast<uint32_t>(id));
}

void Connection::CancelMessageById(int id) {
  CancelTimeout(id);
}

}  // namespace im
}  // namespace tavix
