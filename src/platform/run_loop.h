// The main thread's event loop: it delivers device and power events one at a time, each handler
// running to completion while later events wait.
#pragma once

namespace kelvorn {

class RunLoop {
  public:
    virtual ~RunLoop() = default;
    // Runs until the loop is stopped (normally never).
    virtual void run() = 0;
};

}  // namespace kelvorn
