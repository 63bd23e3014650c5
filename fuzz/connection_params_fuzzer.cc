// The JSON connection parameters of the connection base. A parameter text either
// fills every field the rules give or changes none: the fields are first set from
// a valid text, then the fuzz text is applied, and they must equal either what a
// model of the rules reads from it (when Init says true) or the earlier values
// (when it says false). The model reads the text with JsonCpp's default reader and
// applies the rules itself: the nine required members present and not null, the
// three ports numbers in 1..65535 (a fraction cut), the texts given as strings,
// numbers or booleans, an optional "tls" of the same kind.
#include <json/json.h>
#include <stddef.h>
#include <stdint.h>

#include <climits>
#include <memory>
#include <string>

#include "fuzz/common/fuzz_input.h"
#include "fuzz/common/ws_model.h"
#include "src/connection.h"

namespace {

struct Params {
  std::string server_ip, account_id, device_id, device_type, app_id, token, tls;
  int port_kcp = 0, port_ws = 0, port_wss = 0;

  bool operator==(const Params& o) const {
    return server_ip == o.server_ip && account_id == o.account_id && device_id == o.device_id &&
           device_type == o.device_type && app_id == o.app_id && token == o.token && tls == o.tls &&
           port_kcp == o.port_kcp && port_ws == o.port_ws && port_wss == o.port_wss;
  }
};

// The connection base with nothing to connect, showing its fields.
class ParamsProbe : public tavix::im::Connection {
 public:
  bool ConnectServer(unsigned int, unsigned int) override { return false; }
  void DisConnectServer() override {}

  Params Read() const {
    Params p;
    p.server_ip = server_ip_;
    p.account_id = account_id_;
    p.device_id = device_id_;
    p.device_type = device_type_;
    p.app_id = app_id_;
    p.token = token_;
    p.tls = tls_;
    p.port_kcp = server_port_kcp_;
    p.port_ws = server_port_ws_;
    p.port_wss = server_port_wss_;
    return p;
  }
};

bool ModelText(const Json::Value& value, std::string* out) {
  switch (value.type()) {
    case Json::stringValue:
      *out = value.asString();
      return true;
    case Json::intValue:
      *out = std::to_string(value.asLargestInt());
      return true;
    case Json::uintValue:
      *out = std::to_string(value.asLargestUInt());
      return true;
    case Json::booleanValue:
      *out = value.asBool() ? "true" : "false";
      return true;
    case Json::realValue:
      // JsonCpp's own text of a double; its digits are the library's business.
      *out = value.asString();
      return true;
    default:
      return false;
  }
}

bool ModelPort(const Json::Value& value, int* out) {
  int port = 0;
  if (!zek_fuzz::ModelJsonInt(value, &port) || port < 1 || port > 65535)
    return false;
  *out = port;
  return true;
}

bool ModelRead(const std::string& text, const Params& before, Params* out) {
  Json::Value root;
  if (!zek_fuzz::ModelParseJson(text, &root) || !root.isObject())
    return false;
  auto member = [&root](const char* key) -> Json::Value {
    return root.isMember(key) ? root[key] : Json::Value();
  };
  Params p = before;
  if (!ModelText(member("server_ip"), &p.server_ip) ||
      !ModelPort(member("server_port_kcp"), &p.port_kcp) ||
      !ModelPort(member("server_port_ws"), &p.port_ws) ||
      !ModelPort(member("server_port_wss"), &p.port_wss) ||
      !ModelText(member("account_id"), &p.account_id) ||
      !ModelText(member("device_type"), &p.device_type) ||
      !ModelText(member("app_id"), &p.app_id) || !ModelText(member("token"), &p.token) ||
      !ModelText(member("deviceid"), &p.device_id)) {
    return false;
  }
  const Json::Value tls = member("tls");
  if (!tls.isNull() && !ModelText(tls, &p.tls))
    return false;
  *out = p;
  return true;
}

const char kFirst[] =
    R"({"server_ip":"10.0.0.1","server_port_kcp":1,"server_port_ws":2,"server_port_wss":3,)"
    R"("account_id":"acc","app_id":"app","device_type":"dev","token":"tok","deviceid":"id",)"
    R"("tls":"before"})";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  ParamsProbe probe;
  ZEK_FUZZ_CHECK(probe.Init(kFirst), "the valid first text was refused");
  const Params before = probe.Read();

  Params expected;
  const bool expected_ok = ModelRead(text, before, &expected);
  const bool ok = probe.Init(text);
  ZEK_FUZZ_CHECK(ok == expected_ok, "Init returned %d, model %d", ok, expected_ok);
  const Params after = probe.Read();
  if (ok) {
    ZEK_FUZZ_CHECK(after == expected, "the fields differ from the model's reading");
  } else {
    ZEK_FUZZ_CHECK(after == before, "a refused text changed the fields");
  }
  return 0;
}
