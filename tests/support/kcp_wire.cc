#include "tests/support/kcp_wire.h"

namespace zek_test {

std::string KcpSegment(uint16_t tag,
                       uint32_t conv,
                       uint8_t cmd,
                       uint32_t sn,
                       uint32_t len,
                       const std::string& payload) {
  std::string out;
  auto put = [&out](uint32_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; i--)
      out.push_back(static_cast<char>(v >> (8 * i)));
  };
  put(tag, 2);
  put(conv, 4);
  out.push_back(static_cast<char>(cmd));
  out.push_back(0);  // frag
  put(128, 2);       // window
  put(0, 4);         // ts
  put(sn, 4);
  put(0, 4);  // una
  put(len, 4);
  return out + payload;
}

}  // namespace zek_test
