#include "rtc_base/messagedigest.h"

#include <memory>
#include <vector>

#include "rtc_base/openssldigest.h"
#include "rtc_base/stringencode.h"

namespace rtc {

const char DIGEST_MD5[] = "md5";
const char DIGEST_SHA_1[] = "sha-1";
const char DIGEST_SHA_224[] = "sha-224";
const char DIGEST_SHA_256[] = "sha-256";
const char DIGEST_SHA_384[] = "sha-384";
const char DIGEST_SHA_512[] = "sha-512";

MessageDigest* MessageDigestFactory::Create(const std::string& algorithm) {
  std::unique_ptr<MessageDigest> digest(new OpenSSLDigest(algorithm));
  if (digest->Size() == 0) {
    return nullptr;
  }
  return digest.release();
}

size_t ComputeDigest(MessageDigest* digest,
                     const void* input,
                     size_t in_len,
                     void* output,
                     size_t out_len) {
  digest->Update(input, in_len);
  return digest->Finish(output, out_len);
}

std::string ComputeDigest(MessageDigest* digest, const std::string& input) {
  const size_t size = digest->Size();
  std::vector<char> output(size);
  ComputeDigest(digest, input.data(), input.size(), output.data(), size);
  return hex_encode(output.data(), size);
}

bool ComputeDigest(const std::string& algorithm, const std::string& input, std::string* output) {
  std::unique_ptr<MessageDigest> digest(MessageDigestFactory::Create(algorithm));
  if (!digest) {
    return false;
  }
  *output = ComputeDigest(digest.get(), input);
  return true;
}

std::string ComputeDigest(const std::string& algorithm, const std::string& input) {
  std::string output;
  ComputeDigest(algorithm, input, &output);
  return output;
}

}  // namespace rtc
