// The MTU probe's reading of a received IP datagram, against a model of the
// format: an IPv4 header of (first byte & 0x0F) * 4 bytes, then the ICMP header
// (type, code, checksum, identifier, sequence; identifier and sequence in the
// machine's order). The datagram is an exactly sized heap block, so a read past it
// shows under the address sanitizer. Beside it, two properties: a checksum stored
// in its place makes the checksum of the whole zero, and the probe's own request
// turned into a reply behind any IP header reads back as our reply.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <memory>
#include <string>

#include "fuzz/common/fuzz_input.h"
#include "src/mtu/ping.h"

namespace {

using tavix::Ping;
using zek_fuzz::FuzzInput;

int ModelParse(const std::string& datagram, unsigned short* seq) {
  if (datagram.empty())
    return -1;
  const size_t ip_header = (static_cast<unsigned char>(datagram[0]) & 0x0F) * 4u;
  if (datagram.size() < ip_header + 8)
    return -1;
  if (datagram[ip_header] != 0)
    return -1;
  unsigned short id = 0;
  memcpy(&id, datagram.data() + ip_header + 4, 2);
  if (id != Ping::kIdentifier)
    return -2;
  memcpy(seq, datagram.data() + ip_header + 6, 2);
  return 0;
}

int Parse(const std::string& datagram, unsigned short* seq) {
  std::unique_ptr<char[]> exact(new char[datagram.size()]);
  memcpy(exact.get(), datagram.data(), datagram.size());
  return Ping::ParseIcmpHeader(exact.get(), static_cast<int>(datagram.size()), seq);
}

void CheckParse(const std::string& datagram) {
  unsigned short expected_seq = 0xDEAD;
  const int expected = ModelParse(datagram, &expected_seq);
  unsigned short seq = 0xDEAD;
  const int result = Parse(datagram, &seq);
  ZEK_FUZZ_CHECK(result == expected, "ParseIcmpHeader gave %d for %zu bytes, model %d", result,
                 datagram.size(), expected);
  if (expected == 0)
    ZEK_FUZZ_CHECK(seq == expected_seq, "sequence %u, model %u", seq, expected_seq);
  ZEK_FUZZ_CHECK(Parse(datagram, nullptr) == expected, "without a sequence out the result differs");
}

unsigned short Sum(const std::string& bytes) {
  std::unique_ptr<unsigned short[]> words(new unsigned short[bytes.size() / 2 + 1]());
  memcpy(words.get(), bytes.data(), bytes.size());
  return Ping::CheckSum(words.get(), static_cast<int>(bytes.size()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const uint8_t mode = in.Byte();
  if (mode % 3 == 0) {
    CheckParse(in.Rest());
    return 0;
  }
  if (mode % 3 == 1) {
    // RFC 1071: with its checksum in place an ICMP message sums to zero (an odd last
    // byte counting as if a zero followed it).
    std::string message = in.Rest();
    if (message.size() < 4)
      return 0;
    message[2] = message[3] = 0;
    const unsigned short sum = Sum(message);
    memcpy(&message[2], &sum, 2);
    const unsigned short check = Sum(message);
    ZEK_FUZZ_CHECK(check == 0, "a message with its checksum sums to %#x", check);
    return 0;
  }
  // Our request, echoed back as a reply behind an IP header from the input.
  const unsigned short seq = in.U16();
  std::string ip_header = in.Blob(60);
  ip_header.resize(ip_header.size() & ~size_t{3});
  if (ip_header.empty())
    ip_header.assign(20, '\0');
  ip_header[0] = static_cast<char>((ip_header[0] & 0xF0) | (ip_header.size() / 4));
  std::string request(Ping::kIcmpHeaderSize, '\0');
  Ping::SetupIcmpData(&request[0], seq);
  ZEK_FUZZ_CHECK(request[0] == 8 && request[1] == 0, "the request is no echo request");
  std::string reply = ip_header + request + in.Rest();
  reply[ip_header.size()] = 0;  // echo reply
  unsigned short got = 0;
  ZEK_FUZZ_CHECK(Parse(reply, &got) == 0, "our echoed request does not read as our reply");
  ZEK_FUZZ_CHECK(got == seq, "sequence %u read back as %u", seq, got);
  CheckParse(reply);
  return 0;
}
