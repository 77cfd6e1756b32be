// Everything the daemon asks of the operating system, handed to it as one bundle of references.
#pragma once

#include "platform/application_finder.h"
#include "platform/console_changes.h"
#include "platform/console_user.h"
#include "platform/device_registry.h"
#include "platform/notification_center.h"
#include "platform/power_events.h"
#include "platform/run_loop.h"
#include "platform/system_services.h"

namespace kelvorn {

struct Platform {
    DeviceRegistry& registry;
    ConsoleUser& console;
    ConsoleChanges& consoleChanges;
    PowerEvents& power;
    ApplicationFinder& applications;
    NotificationCenter& notifications;
    RunLoop& runLoop;
    Sleeper& sleeper;
    SystemLog& systemLog;
    ValuePrinter& printer;
};

}  // namespace kelvorn
