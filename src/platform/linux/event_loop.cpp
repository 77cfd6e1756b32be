#include "platform/linux/event_loop.h"

namespace kelvorn::linux_backend {

EventLoop::EventLoop() {
    if (sd_event_new(&event_) < 0) event_ = nullptr;
}

EventLoop::~EventLoop() {
    sd_event_unref(event_);
}

void EventLoop::run() {
    if (event_ != nullptr) sd_event_loop(event_);
}

void EventLoop::exit() {
    if (event_ != nullptr) sd_event_exit(event_, 0);
}

}  // namespace kelvorn::linux_backend
