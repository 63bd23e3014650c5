#include "src/utilities/json_reader.h"

#include <json/json.h>

#include <memory>

namespace tavix {

bool ParseJson(const char* data, size_t length, Json::Value* root) {
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  try {
    return reader->parse(data, data + length, root, nullptr);
  } catch (const Json::Exception&) {
    *root = Json::Value();
    return false;
  }
}

bool ReadJsonString(const Json::Value& value, std::string* out) {
  if (value.isNull() || !value.isConvertibleTo(Json::stringValue))
    return false;
  *out = value.asString();
  return true;
}

bool ReadJsonInt(const Json::Value& value, int* out) {
  if (value.isNull() || value.isBool() || !value.isConvertibleTo(Json::intValue))
    return false;
  *out = value.asInt();
  return true;
}

}  // namespace tavix
