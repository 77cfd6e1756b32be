// The daemon's run loop on sd-event: one thread, one event source per service, each event handled
// to completion before the next is looked at.
#pragma once

#include <systemd/sd-event.h>

#include "platform/run_loop.h"

namespace kelvorn::linux_backend {

class EventLoop final : public RunLoop {
  public:
    EventLoop();
    ~EventLoop() override;
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Runs until exit() is called or the loop fails.
    void run() override;
    void exit();

    // Null when sd-event could not be set up; the services then run without events.
    sd_event* event() const { return event_; }

  private:
    sd_event* event_ = nullptr;
};

}  // namespace kelvorn::linux_backend
