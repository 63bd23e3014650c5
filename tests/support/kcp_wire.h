#ifndef TESTS_SUPPORT_KCP_WIRE_H_
#define TESTS_SUPPORT_KCP_WIRE_H_

#include <stdint.h>

#include <string>

namespace zek_test {

// One KCP segment as the engine puts it on the wire, big-endian: tag, conversation,
// command, fragment 0, window 128, time stamp 0, `sn`, next expected 0 and the length
// field `len`, then `payload`. `len` is written as given and may lie about the
// payload, for malformed input.
std::string KcpSegment(uint16_t tag,
                       uint32_t conv,
                       uint8_t cmd,
                       uint32_t sn,
                       uint32_t len,
                       const std::string& payload);

}  // namespace zek_test

#endif  // TESTS_SUPPORT_KCP_WIRE_H_
