#include "platform/utils/thread_name.h"

#include "logging/logger.h"
#include "platform/thread_name.h"

namespace platform {

void SetThreadName(const std::string& name) {
  logging::Debug("thread: {0}", name);
  NameCurrentThread(name);
}

}  // namespace platform
