#ifndef TESTS_SUPPORT_WAIT_H_
#define TESTS_SUPPORT_WAIT_H_

#include <chrono>
#include <functional>

namespace zek_test {

// Polls `pred` until it holds or `limit` has passed; true when it held. Tests wait on
// conditions this way instead of sleeping for a fixed time.
bool WaitUntil(const std::function<bool()>& pred,
               std::chrono::milliseconds limit = std::chrono::seconds(5));

}  // namespace zek_test

#endif  // TESTS_SUPPORT_WAIT_H_
