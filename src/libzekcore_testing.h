#ifndef SRC_LIBZEKCORE_TESTING_H_
#define SRC_LIBZEKCORE_TESTING_H_

namespace tavix {
namespace im {

class ZekManager;

// Called by ConnectImServer, DisConnectImServer and SendUserMessage right after each
// has read the manager pointer (null without a core), on the caller's thread, while
// the call still counts as under way. Lets a test hold a call at that point.
using ApiCallHook = void (*)(ZekManager* manager);

// Installs `hook` (null removes it). Not for apps: the shared library does not export it.
void SetApiCallHookForTesting(ApiCallHook hook);

}  // namespace im
}  // namespace tavix

#endif  // SRC_LIBZEKCORE_TESTING_H_
