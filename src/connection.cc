#include "src/connection.h"

#include <json/json.h>

#include "rtc_base/location.h"
#include "rtc_base/messagequeue.h"
#include "rtc_base/thread.h"
#include "src/utilities/json_reader.h"

namespace tavix {
namespace im {
namespace {

// A port outside 1..65535 would be cut to 16 bits further down and name another port.
bool ReadPort(const Json::Value& value, int* out) {
  int port = 0;
  if (!ReadJsonInt(value, &port) || port < 1 || port > 65535)
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
  if (!ParseJson(param.data(), param.size(), &root) || !root.isObject())
    return false;
  // Read through a const reference: a missing member reads as null without being added.
  const Json::Value& object = root;

  // Everything is read into locals first, so a missing or refused value stores nothing.
  std::string server_ip, account_id, device_type, app_id, token, device_id;
  int port_kcp = 0, port_ws = 0, port_wss = 0;
  if (!ReadJsonString(object["server_ip"], &server_ip) ||
      !ReadPort(object["server_port_kcp"], &port_kcp) ||
      !ReadPort(object["server_port_ws"], &port_ws) ||
      !ReadPort(object["server_port_wss"], &port_wss) ||
      !ReadJsonString(object["account_id"], &account_id) ||
      !ReadJsonString(object["device_type"], &device_type) ||
      !ReadJsonString(object["app_id"], &app_id) || !ReadJsonString(object["token"], &token) ||
      !ReadJsonString(object["deviceid"], &device_id)) {
    return false;
  }
  std::string tls = tls_;
  if (!object["tls"].isNull() && !ReadJsonString(object["tls"], &tls))
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
