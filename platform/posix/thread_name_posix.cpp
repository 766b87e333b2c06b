#include <pthread.h>

#include <string>

#include "platform/thread_name.h"

namespace platform {

void NameCurrentThread(const std::string& name) {
  // Linux keeps 15 characters and a terminator.
  ::pthread_setname_np(::pthread_self(), name.substr(0, 15).c_str());
}

}  // namespace platform
