#include "rtc_base/messagehandler.h"

#include "rtc_base/messagequeue.h"

namespace rtc {

MessageHandler::~MessageHandler() {
  MessageQueueManager::Clear(this);
}

}  // namespace rtc
