// The daemon's state table: what its handlers share for the life of the process.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/log_file.h"
#include "common/value.h"
#include "platform/device_queries.h"
#include "platform/device_registry.h"

namespace kelvorn {

struct DaemonState {
    // The daemon's one log, "Daemon.log" at level 2.
    std::unique_ptr<corvant::LogFile> mLogFile;
    // Short name of the console user, recorded by the login wait.
    std::optional<std::string> CurrentUser;
    // Full path of the supported-card list found at start-up, or found again by an arrival batch
    // that could not read it at the path found before.
    std::optional<std::string> MDCardListPath;
    // The registry whose device notifications the run loop delivers; set once the watch is armed.
    DeviceRegistry* runloopsource = nullptr;
    // Set by a display power-off; the next login wait or arrival batch clears it.
    bool didSystemGoToSleep = false;
    // Set while a supported card that was announced or launched for is present.
    bool deviceinserted = false;
    // Those cards, each once: the registry entry where its ids were found, and the ids. The first
    // of a card's serial entries to go announces its removal and forgets it.
    struct AnnouncedCard {
        std::string idsEntry;
        corvant::Value vendor;
        corvant::Value product;
    };
    std::vector<AnnouncedCard> announcedCards;
    // "VID", "PID", "fromDaemon" and the values last found for them: the vendor id, the product id
    // and "YES". Both are empty until a device's ids were found.
    corvant::Array tempkeys;
    corvant::Array tempvalues;
    // The serial ports present whose arrival was found supported, in arrival order.
    std::vector<SupportedPort> supportedPorts;
    // What the daemon is doing, for those who ask: kWaitingForUser, kSettling or kWatching.
    const char* activity = kWaitingForUser;
    // The number of families the card list held when it was located.
    int families = 0;
};

}  // namespace kelvorn
