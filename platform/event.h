// Stands in for the Windows event object (CreateEvent, SetEvent, ResetEvent,
// WaitForSingleObject on an event). Events here are used inside one process
// only, so a name is only a label.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "wait.h"

namespace plat {

class event {
  public:
    // manual_reset false: a successful wait resets the event (auto-reset).
    event(bool manual_reset, bool initially_set, std::string name = {});
    event(const event&) = delete;
    event& operator=(const event&) = delete;

    void set();
    void reset();
    // wait_object_0 when the event was set within milliseconds, else wait_timeout.
    uint32_t wait(uint32_t milliseconds);
    const std::string& name() const { return name_; }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool manual_reset_;
    bool set_;
    std::string name_;
};

} // namespace plat
