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

void Connection::DisConnectServerByApp() {
  DisConnectServer();
}

void Connection::OnMessage(rtc::Message* /*msg*/) {}

const Connection::ParamField Connection::kParamFields[kParamFieldCount] = {
    {"server_ip", true, &Connection::server_ip_, nullptr},
    {"server_port_kcp", true, nullptr, &Connection::server_port_kcp_},
    {"server_port_ws", true, nullptr, &Connection::server_port_ws_},
    {"server_port_wss", true, nullptr, &Connection::server_port_wss_},
    {"account_id", true, &Connection::account_id_, nullptr},
    {"device_type", true, &Connection::device_type_, nullptr},
    {"app_id", true, &Connection::app_id_, nullptr},
    {"token", true, &Connection::token_, nullptr},
    {"deviceid", true, &Connection::device_id_, nullptr},
    {"tls", false, &Connection::tls_, nullptr},
};

bool Connection::ParseParam(std::string param) {
  Json::Value root;
  if (!ParseJson(param.data(), param.size(), &root) || !root.isObject())
    return false;
  // Read through a const reference: a missing member reads as null without being added.
  const Json::Value& object = root;

  // Everything is read into locals first, so a missing or refused value stores nothing.
  bool present[kParamFieldCount] = {};
  std::string texts[kParamFieldCount];
  int ports[kParamFieldCount] = {};
  for (size_t i = 0; i < kParamFieldCount; i++) {
    const ParamField& field = kParamFields[i];
    const Json::Value& value = object[field.name];
    if (!field.required && value.isNull())
      continue;
    if (field.text ? !ReadJsonString(value, &texts[i]) : !ReadPort(value, &ports[i]))
      return false;
    present[i] = true;
  }

  for (size_t i = 0; i < kParamFieldCount; i++) {
    if (!present[i])
      continue;
    if (kParamFields[i].text)
      this->*kParamFields[i].text = texts[i];
    else
      this->*kParamFields[i].port = ports[i];
  }
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
