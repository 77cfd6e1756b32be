// The daemon end to end on test doubles: start-up, login wait, power, arrival and removal.
#include <sys/inotify.h>
#include <unistd.h>

#include <fstream>

#include "common/plist.h"
#include "scenario.h"

namespace kelvorn::testing {
namespace {

constexpr const char* kFamilyRejected =
    "ttyUSB family is not supported by Solvane , Please change the config file accordingly";
const std::vector<std::string> kSupportedLines = {
    "Found Supported Vendor ID", "Found Supported Product id found", "DEVICE SUPPORTED"};

corvant::Dictionary ids(std::int64_t vendor, std::int64_t product) {
    return {{"VID", vendor}, {"PID", product}, {"fromDaemon", "YES"}};
}

using StartUp = DaemonScenario;

TEST_F(StartUp, FoundCardListArmsTheWatchAndHandlesPresentDevices) {
    installClient(
        applications() + "/Solvane.app",
        cardList({{"ttyUSB", "0", "4817", "5382"}, {"cu.a", "", "1", "2"}, {"x", "", "1", "2"}}));
    doubles.console.answers = {std::nullopt, "loginwindow", "NULL", "bob"};
    doubles.registry.present = {makeDevice({})};
    setListing(" 1 ?? 0:00 Solvane\n");
    // The device present at start-up is announced before the loop runs; later batches come
    // through the registrations.
    doubles.runLoopBody = [this] {
        EXPECT_EQ(doubles.posts.size(), 1u);
        EXPECT_TRUE(doubles.registry.leave({makeDevice({})}));
        EXPECT_TRUE(doubles.registry.arrive({makeDevice({})}));
        EXPECT_EQ(doubles.posts.size(), 3u);
    };

    EXPECT_EQ(daemon().run(), 0);
    EXPECT_EQ(records.front().message, "Starting up Deamon Process [Version - Deamon 2.0]");
    EXPECT_EQ(records.front().level, 0);
    EXPECT_EQ(doubles.waits, (std::vector<unsigned>{2, 2, 2, 30}));
    EXPECT_EQ(count("current user got before executing notification : (null)"), 2);
    EXPECT_EQ(count("current user got before executing notification : NULL"), 1);
    EXPECT_TRUE(logged("DEBUG", 2, "Current Logged in User:bob"));
    EXPECT_TRUE(logged("DEBUG", 2, "No of Families supported by Daemon Process : 3"));
    EXPECT_EQ(doubles.registry.registrations,
              (std::vector<std::string>{"IOServiceFirstMatch IOSerialBSDClient",
                                        "IOServiceTerminate IOSerialBSDClient"}));
    EXPECT_TRUE(doubles.registry.firstArrivals->drained());
    EXPECT_EQ(doubles.runLoopRuns, 1);
    EXPECT_TRUE(doubles.powerHandler);
    // The log file itself holds the lines.
    std::ifstream log(root() + "/Library/Application Support/Corvant/Solvane/Daemon.log");
    std::string first;
    std::getline(log, first);
    EXPECT_TRUE(first.starts_with("[USER] [")) << first;
    EXPECT_TRUE(first.ends_with("] : Starting up Deamon Process [Version - Deamon 2.0]")) << first;
}

TEST_F(StartUp, MissingCardListEndsWithStatusOne) {
    EXPECT_EQ(daemon().run(), 1);
    EXPECT_EQ(records.back().message, "MDCardList File Absent . Hence Quitting Card Detection");
    EXPECT_TRUE(doubles.registry.registrations.empty());
    EXPECT_EQ(doubles.runLoopRuns, 0);
    ASSERT_EQ(exitReasons.size(), 1u);
    EXPECT_TRUE(exitReasons[0].ends_with("(exit status 1)")) << exitReasons[0];
}

TEST_F(StartUp, RefusedServiceNameEndsBeforeTheLoginWait) {
    takeServiceName = [] { return std::optional<std::string>("the name is held"); };
    EXPECT_EQ(daemon().run(), kExitServiceNameRefused);
    EXPECT_EQ(records.size(), 2u);
    EXPECT_TRUE(logged("USER", 1, "the name is held"));
    EXPECT_EQ(exitReasons, (std::vector<std::string>{"the name is held (exit status 69)"}));
    EXPECT_TRUE(doubles.waits.empty());
    EXPECT_FALSE(doubles.powerHandler);
}

TEST_F(StartUp, UnreadableCardListCountsNoFamiliesAndRejectsEveryDevice) {
    installClient(applications() + "/Solvane.app", std::nullopt);
    std::filesystem::create_directories(
        std::filesystem::path(cardListIn(*doubles.clientBundle)).parent_path());
    std::ofstream(cardListIn(*doubles.clientBundle)) << "not a property list";
    doubles.registry.present = {makeDevice({}), makeDevice({.suffix = "1"})};
    // It is there: each batch reads it again, and none looks for it as start-up did.
    doubles.runLoopBody = [this] { EXPECT_TRUE(doubles.registry.arrive({makeDevice({})})); };

    EXPECT_EQ(daemon().run(), 0);
    EXPECT_EQ(count("No of Families supported by Daemon Process : 0"), 1);
    EXPECT_EQ(count(kFamilyRejected), 3);
    EXPECT_TRUE(doubles.posts.empty());
}

TEST_F(StartUp, CardListOver4MiBIsUnreadable) {
    std::string padded =
        corvant::toXmlPropertyList(corvant::Value(cardList({{"ttyUSB", "0", "4817", "5382"}})));
    padded.insert(padded.find("<dict>") + 6, std::string(4 << 20, ' '));
    installClient(applications() + "/Solvane.app", std::nullopt);
    std::filesystem::create_directories(
        std::filesystem::path(cardListIn(*doubles.clientBundle)).parent_path());
    std::ofstream(cardListIn(*doubles.clientBundle)) << padded;
    doubles.registry.present = {makeDevice({})};

    EXPECT_EQ(daemon().run(), 0);
    EXPECT_TRUE(logged("DEBUG", 2, "No of Families supported by Daemon Process : 0"));
    EXPECT_EQ(count(kFamilyRejected), 1);
}

TEST_F(StartUp, NoMatchingDescriptionLeavesOnlyPowerEvents) {
    installClient(applications() + "/Solvane.app", cardList({}));
    doubles.registry.matchable = false;
    EXPECT_EQ(daemon().run(), 0);
    EXPECT_TRUE(logged("DEBUG", 2, "Matching dictionary returned was nill"));
    EXPECT_TRUE(doubles.registry.registrations.empty());
}

using Power = DaemonScenario;

TEST_F(Power, PowerOffIsRecordedAndTheNextBatchWaitsForTheUser) {
    const std::pair<std::uint32_t, const char*> powerMessages[] = {
        {0xE0000230, "System did power on notification received"},
        {7, nullptr},
        {0xE0000210, "System did power off notification received"},
        {0xE0000210, "System did power off notification received"},
    };
    daemon().AddSleepNotification();
    for (const auto& [type, line] : powerMessages) {
        records.clear();
        doubles.powerHandler(type);
        EXPECT_EQ(doubles.systemLines.back(), "messageType: " + std::to_string(type));
        EXPECT_EQ(messages(), line ? std::vector<std::string>{line} : std::vector<std::string>{});
    }
    EXPECT_TRUE(daemon().state.didSystemGoToSleep);

    // The card list only supports the device once the wake wait has passed: it is read after it.
    useDefaultClient(cardList({}));
    doubles.console.answers = {"loginwindow", "carol"};
    doubles.onSleep = [this](unsigned seconds) {
        if (seconds != 10) return;
        corvant::writeDictionaryToFile(cardList({{"ttyUSB", "0", "4817", "5382"}}),
                                       *daemon().state.MDCardListPath);
    };
    setListing("Solvane\n");
    FakeBatch batch({makeDevice({})});
    daemon().mycallbacknotifaction(batch);
    EXPECT_TRUE(logged("USER", 2,
                       "Since system woke up from sleep, checking if user has logged in and add "
                       "delay of 10 seconds"));
    EXPECT_EQ(doubles.waits, (std::vector<unsigned>{2, 10}));
    EXPECT_EQ(daemon().state.CurrentUser, "carol");
    EXPECT_FALSE(daemon().state.didSystemGoToSleep);
    EXPECT_EQ(doubles.posts.size(), 1u);
}

using SupportCheck = DaemonScenario;

TEST_F(SupportCheck, WalksFamilySuffixVendorProduct) {
    corvant::Dictionary list = cardList({{"ttyUSB", "0", "4817", "5382"},
                                         {"cu.modem", "NO SUFFIX NAME PRESENT IN IOREG", "1", "2"},
                                         {"ttyHEX", "0", "0x12d1", "0x1506"},
                                         {"ttyHEX", "0", "0X12D1", "0X1506"}});
    list["ttyOdd"] = corvant::Dictionary{{"0", 5}};
    list["ttyFlat"] = "not a dictionary";
    struct Case {
        std::optional<std::string> base, suffix;
        corvant::Value vendor, product;
        std::vector<std::string> lines;
    };
    const std::string vendorNo =
        "vendor id is not supported by Solvane , please reconfigure MDCardlist.plist";
    const std::vector<std::string> productNo = {
        "Found Supported Vendor ID",
        "Product id is not supported by Solvane , please reconfigure MDCardlist.plist",
        "DEVICE NOT SUPPORTED"};
    const Case cases[] = {
        {"ttyUSB", "0", 4817, 5382, kSupportedLines},
        {"cu.modem", "NO SUFFIX NAME PRESENT IN IOREG", 1, 2, kSupportedLines},
        {"ttyACM",
         "0",
         4817,
         5382,
         {"ttyACM family is not supported by Solvane , Please change the config file "
          "accordingly"}},
        {"ttyusb",
         "0",
         4817,
         5382,
         {"ttyusb family is not supported by Solvane , Please change the config file "
          "accordingly"}},
        {std::nullopt,
         "0",
         4817,
         5382,
         {"(null) family is not supported by Solvane , Please change the config file "
          "accordingly"}},
        {"ttyUSB",
         "1",
         4817,
         5382,
         {"1 suffix is not supported by ttyUSB family by Solvane , Please change the config file "
          "accordingly"}},
        {"ttyFlat",
         "0",
         1,
         2,
         {"0 suffix is not supported by ttyFlat family by Solvane , Please change the config "
          "file accordingly"}},
        {"ttyUSB", "0", 4818, 5382, {vendorNo}},
        {"ttyUSB", "0", corvant::Value(), 5382, {vendorNo}},
        {"ttyHEX", "0", 0x12d1, 0x1506, {vendorNo}},
        {"ttyOdd", "0", 5, 1, {vendorNo}},
        {"ttyUSB", "0", 4817, 5383, productNo},
        {"ttyUSB", "0", 4817, corvant::Value(), productNo},
    };
    for (const auto& c : cases) {
        records.clear();
        EXPECT_EQ(daemon().checkIfDeviceIsSupported(list, c.base, c.suffix, c.vendor, c.product),
                  c.lines == kSupportedLines);
        EXPECT_EQ(messages(), c.lines);
    }
}

using Arrival = DaemonScenario;

TEST_F(Arrival, IdSearchTriesTheFourthAncestorThenWalksEightEntries) {
    struct Case {
        std::optional<int> idsDepth;
        int height;
        bool probableMiss;
        bool found;
    };
    const Case cases[] = {
        {4, 10, false, true},
        {0, 10, true, true},
        {2, 10, true, true},
        {7, 10, true, true},
        {8, 10, true, false},
        {std::nullopt, 10, true, false},
        {std::nullopt, 2, true, false},
    };
    useDefaultClient();
    setListing("Solvane\n");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.idsDepth.value_or(-1));
        records.clear();
        doubles.posts.clear();
        FakeBatch batch({makeDevice({.idsDepth = c.idsDepth, .height = c.height})});
        daemon().mycallbacknotifaction(batch);
        EXPECT_EQ(count("Did Not Find VID and PID From IOREG in most probable search"),
                  c.probableMiss ? 1 : 0);
        EXPECT_EQ(count("Traversing full tree to find VID, PID Value"), c.probableMiss ? 1 : 0);
        EXPECT_EQ(count("PRODUCT ID : 5382"), c.found ? 1 : 0);
        EXPECT_EQ(doubles.posts.size(), c.found ? 1u : 0u);
    }
}

TEST_F(Arrival, EachDeviceOfABatchGetsItsOwnIds) {
    useDefaultClient(cardList({{"ttyUSB", "0", "4817", "5382"},
                               {"ttyUSB", "1", "1", "2"},
                               {"cu.m", "NO SUFFIX NAME PRESENT IN IOREG", "3", "4"}}));
    setListing("Solvane\n");
    // The first is found by the probable search; the second needs the full walk all the same.
    FakeBatch batch({makeDevice({}),
                     makeDevice({.suffix = "1", .idsDepth = 1, .vendor = 1, .product = 2}),
                     makeDevice({.baseName = "cu.m", .suffix = "", .vendor = 3, .product = 4}),
                     makeDevice({.suffix = "1", .vendor = corvant::Value(), .product = 2})});
    daemon().mycallbacknotifaction(batch);
    ASSERT_EQ(doubles.posts.size(), 3u);
    EXPECT_EQ(doubles.posts[0].userInfo, ids(4817, 5382));
    EXPECT_EQ(doubles.posts[1].userInfo, ids(1, 2));
    EXPECT_EQ(doubles.posts[2].userInfo, ids(3, 4));
    EXPECT_EQ(doubles.posts[2].name, "Supported device added");
    EXPECT_EQ(doubles.posts[2].options, 2u);
    EXPECT_TRUE(logged("DEBUG", 2,
                       "Suffix name got from ioreg during device insertion: NO SUFFIX NAME PRESENT "
                       "IN IOREG"));
    // A product id without a vendor id is rejected and leaves the last complete ids in place.
    EXPECT_EQ(daemon().state.tempvalues, (corvant::Array{3, 4, "YES"}));
    EXPECT_TRUE(logged("USER", 2, "Vid_pid sent when posting notification :key: PID, value: 4"));
    EXPECT_EQ(doubles.shown.front(), corvant::Value("ttyUSB"));
    EXPECT_EQ(std::count(doubles.systemLines.begin(), doubles.systemLines.end(),
                         "---------- Notification started by some call back------------"),
              1);
}

TEST_F(Arrival, ThreePortCardArrivesAndLeaves) {
    for (const bool running : {true, false}) {
        SCOPED_TRACE(running);
        std::filesystem::remove(root() + "/open-calls");
        setListing(running ? "Solvane\n" : "");
        doubles.posts.clear();
        records.clear();
        const auto port = [](const char* suffix) { return makeDevice({.suffix = suffix}); };
        useDefaultClient(cardList({{"ttyUSB", "0", "4817", "5382"},
                                   {"ttyUSB", "1", "4817", "5382"},
                                   {"ttyUSB", "2", "4817", "5382"}}));
        FakeBatch arrivals({port("0"), port("1"), port("2")});
        daemon().mycallbacknotifaction(arrivals);
        EXPECT_EQ(doubles.posts.size(), running ? 3u : 0u);
        EXPECT_EQ(openArguments().size(), running ? 0u : 3u);
        EXPECT_TRUE(daemon().state.deviceinserted);

        FakeBatch removals({port("0"), port("1"), port("2")});
        daemon().mycallbacktermination(removals);
        ASSERT_EQ(doubles.posts.size(), running ? 4u : 1u);
        EXPECT_EQ(doubles.posts.back().name, "Supported device removed");
        EXPECT_EQ(doubles.posts.back().userInfo, ids(4817, 5382));
        EXPECT_EQ(count("InCompatible device found during termination , hence no posting"), 2);
        EXPECT_TRUE(
            logged("USER", 0, "Vid_pid sent when posting notification :key: VID, value: 4817"));
        EXPECT_EQ(doubles.systemLines.back(), "Device Terminated Notification posting done");
        EXPECT_FALSE(daemon().state.deviceinserted);
    }
}

// Two modems of one model, another card and an unrelated adapter: the first port of each card to
// go announces that card with its own ids; the adapter and the card's other ports only log.
TEST_F(Arrival, EachSupportedCardIsAnnouncedGoneOnceWithItsOwnIds) {
    useDefaultClient(cardList({{"ttyUSB", "0", "4817", "5382"},
                               {"ttyUSB", "1", "4817", "5382"},
                               {"ttyACM", "0", "1", "2"}}));
    setListing("Solvane\n");
    const auto modem = [](const char* card, const char* suffix) {
        return makeDevice({.suffix = suffix, .card = card});
    };
    const auto other = makeDevice({.baseName = "ttyACM", .vendor = 1, .product = 2, .card = "c"});
    const auto adapter = makeDevice({.vendor = 9, .product = 9, .card = "adapter"});
    FakeBatch arrivals({modem("a", "0"), modem("a", "1"), other, adapter, modem("b", "0")});
    daemon().mycallbacknotifaction(arrivals);
    ASSERT_EQ(doubles.posts.size(), 4u);

    struct Step {
        std::shared_ptr<RegistryEntry> gone;
        std::optional<corvant::Dictionary> announced;
        bool stillInserted;
    };
    const Step steps[] = {
        {adapter, std::nullopt, true},
        {modem("a", "1"), ids(4817, 5382), true},
        {modem("a", "0"), std::nullopt, true},
        {other, ids(1, 2), true},
        {modem("b", "0"), ids(4817, 5382), false},
        {modem("b", "0"), std::nullopt, false},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.gone->identity());
        doubles.posts.clear();
        records.clear();
        FakeBatch removal({step.gone});
        daemon().mycallbacktermination(removal);
        if (step.announced) {
            ASSERT_EQ(doubles.posts.size(), 1u);
            EXPECT_EQ(doubles.posts[0].name, "Supported device removed");
            EXPECT_EQ(doubles.posts[0].userInfo, *step.announced);
        } else {
            EXPECT_TRUE(doubles.posts.empty());
            EXPECT_EQ(messages(), std::vector<std::string>{
                                      "InCompatible device found during termination , hence no "
                                      "posting"});
        }
        EXPECT_EQ(daemon().state.deviceinserted, step.stillInserted);
    }
}

// Hears what the bus announces: each port listed (+) and unlisted (-), each new status.
struct HeardChanges final : DeviceQueriesObserver {
    std::vector<std::string> heard;
    void portListed(const SupportedPort& port) override { heard.push_back("+" + port.device); }
    void portUnlisted(const SupportedPort& port) override { heard.push_back("-" + port.device); }
    void statusChanged(const DaemonStatus&, const DaemonStatus& now) override {
        heard.push_back(now.state + " " + now.consoleUser + " " + std::to_string(now.families));
    }
};

// What the bus query lists is the daemon's own bookkeeping: nothing before the first batch, each
// port found supported in arrival order, until it goes; never a port of an unsupported card. Each
// change is announced as it happens, a status only when it differs from the one announced last.
TEST_F(StartUp, SupportedPortsAndStatusFollowTheDaemonsOwnState) {
    const std::string cards =
        installClient(applications() + "/Solvane.app",
                      cardList({{"ttyUSB", "0", "4817", "5382"}, {"ttyUSB", "2", "4817", "5382"}}));
    const auto port = [](const char* card, const char* suffix, std::int64_t product = 5382) {
        return makeDevice({.suffix = suffix, .product = product, .card = card});
    };
    const auto devices = [this] {
        std::vector<std::string> nodes;
        for (const auto& listed : daemon().supportedPorts()) nodes.push_back(listed.device);
        return nodes;
    };
    HeardChanges changes;
    observer = &changes;
    doubles.console.answers = {std::nullopt, "alice"};
    doubles.registry.present = {port("a", "0"), port("unsupported", "0", 9)};
    setListing("Solvane\n");
    std::vector<std::string> statesInWaits;
    doubles.onSleep = [&](unsigned) {
        statesInWaits.push_back(daemon().status().state);
        EXPECT_TRUE(daemon().supportedPorts().empty());
    };
    doubles.runLoopBody = [&] {
        EXPECT_EQ(devices(), std::vector<std::string>{"/dev/a-ttyUSB0"});
        doubles.registry.arrive({port("b", "2"), port("unsupported", "2", 9), port("a", "2")});
        EXPECT_EQ(devices(),
                  (std::vector<std::string>{"/dev/a-ttyUSB0", "/dev/b-ttyUSB2", "/dev/a-ttyUSB2"}));
        doubles.registry.leave({port("a", "0"), port("unsupported", "0", 9)});
        EXPECT_EQ(devices(), (std::vector<std::string>{"/dev/b-ttyUSB2", "/dev/a-ttyUSB2"}));
    };

    EXPECT_EQ(daemon().status().state, "waiting-for-user");
    EXPECT_EQ(daemon().run(), 0);
    EXPECT_EQ(statesInWaits, (std::vector<std::string>{"waiting-for-user", "settling"}));
    const SupportedPort& first = daemon().supportedPorts().front();
    EXPECT_EQ(std::tie(first.vendorId, first.productId, first.baseName, first.suffix, first.model),
              std::make_tuple(4817, 5382, "ttyUSB", "2", "Modem"));
    const DaemonStatus status = daemon().status();
    EXPECT_EQ(std::tie(status.state, status.consoleUser, status.cardList, status.families),
              std::make_tuple("watching", "alice", cardListIn(cards), 1));
    EXPECT_EQ(doubles.posts.size(), 4u);
    EXPECT_EQ(changes.heard,
              (std::vector<std::string>{"settling alice 0", "watching alice 1", "+/dev/a-ttyUSB0",
                                        "+/dev/b-ttyUSB2", "+/dev/a-ttyUSB2", "-/dev/a-ttyUSB0"}));
}

// Users switch at the console between batches. The client that counts is the console user's own:
// bob gets his launched although alice's runs, and is told once his runs. The login screen is
// nobody, for whom nothing is launched. Each switch is one line and one status announced.
TEST_F(StartUp, TheConsoleUserFollowsTheActiveSessionAndOwnsTheClient) {
    installClient(applications() + "/Solvane.app", cardList({{"ttyUSB", "0", "4817", "5382"}}));
    HeardChanges changes;
    observer = &changes;
    setListing("");
    setListingOf("alice", "Solvane\n");
    const auto batch = [this](const char* suffix) {
        EXPECT_TRUE(doubles.registry.arrive({makeDevice({.suffix = suffix})}));
    };
    doubles.runLoopBody = [&] {
        doubles.consoleChangeHandler("bob");
        batch("0");
        EXPECT_EQ(openArguments().size(), 1u);
        EXPECT_TRUE(doubles.posts.empty());

        setListingOf("bob", "Solvane\n");
        doubles.consoleChangeHandler("bob");
        batch("0");
        EXPECT_EQ(openArguments().size(), 1u);
        EXPECT_EQ(doubles.posts.size(), 1u);
        EXPECT_EQ(count("Console user changed from alice to bob"), 1);
        EXPECT_TRUE(logged("USER", 0, "Console user changed from alice to bob"));

        doubles.consoleChangeHandler("loginwindow");
        EXPECT_EQ(count("Console user changed from bob to (null)"), 1);
        records.clear();
        batch("0");
        EXPECT_EQ(openArguments().size(), 1u);
        EXPECT_TRUE(
            logged("USER", 2, "Nobody at the console, hence not launching the application"));
    };

    EXPECT_EQ(daemon().run(), 0);
    EXPECT_EQ(listedUsers(), (std::vector<std::string>{"bob", "bob", ""}));
    EXPECT_EQ(doubles.posts.size(), 1u);
    EXPECT_FALSE(daemon().state.CurrentUser);
    EXPECT_EQ(daemon().status().consoleUser, "");
    EXPECT_EQ(changes.heard,
              (std::vector<std::string>{"settling alice 0", "watching alice 1", "watching bob 1",
                                        "+/dev/card-ttyUSB0", "watching  1"}));
    records.clear();
    doubles.consoleChangeHandler("alice");
    EXPECT_EQ(messages(), std::vector<std::string>{"Console user changed from (null) to alice"});
}

TEST_F(Arrival, PostThatFailsIsLoggedAfterTheUsualLine) {
    useDefaultClient();
    setListing("Solvane\n");
    doubles.postsFail = true;
    FakeBatch arrival({makeDevice({})});
    daemon().mycallbacknotifaction(arrival);
    FakeBatch removal({makeDevice({})});
    daemon().mycallbacktermination(removal);
    const auto lines = messages();
    const auto after = [&lines](const std::string& line) {
        const auto found = std::find(lines.begin(), lines.end(), line);
        return found != lines.end() && found + 1 != lines.end() ? *(found + 1) : std::string();
    };
    EXPECT_EQ(after("Device Inserted Distributed Notification posting done"),
              "Supported device added could not be posted, not even after connecting again");
    EXPECT_EQ(after("Device terminated Distributed Notification posting done"),
              "Supported device removed could not be posted, not even after connecting again");
    EXPECT_TRUE(logged("USER", 1,
                       "Supported device removed could not be posted, not even after connecting "
                       "again"));
}

// The client removed, then installed again under another name, while the daemon watches: a batch
// that cannot read the card list where start-up found it looks for it again as start-up does.
TEST_F(Arrival, ClientReinstalledUnderAnotherNameIsFoundAgain) {
    const corvant::Dictionary cards = cardList({{"ttyUSB", "0", "4817", "5382"}});
    const std::string solvane = installClient(applications() + "/Solvane.app", cards);
    std::string acme;
    doubles.runLoopBody = [&] {
        std::filesystem::remove_all(solvane);
        doubles.clientBundle.reset();
        // Nothing to be found: the remembered path stays.
        EXPECT_TRUE(doubles.registry.arrive({makeDevice({})}));
        EXPECT_EQ(count(kFamilyRejected), 1);
        EXPECT_EQ(daemon().status().cardList, cardListIn(solvane));

        acme = installClient(applications() + "/Acme.app", cards, "ApplicationName=\"Acme\"\n");
        records.clear();
        EXPECT_TRUE(doubles.registry.arrive({makeDevice({})}));
    };
    EXPECT_EQ(daemon().run(), 0);
    EXPECT_TRUE(logged("USER", 2, "Initiall MDCardList Path got is " + cardListIn(acme)));
    EXPECT_TRUE(logged("DEBUG", 2, "MDCardlist File Present, Path Got is " + cardListIn(acme)));
    EXPECT_TRUE(logged("DEBUG", 2, "No of Families supported by Daemon Process : 1"));
    EXPECT_EQ(count(kFamilyRejected), 0);
    EXPECT_EQ(openArguments(), std::vector<std::string>{acme});
    EXPECT_EQ(daemon().status().cardList, cardListIn(acme));
}

TEST_F(Arrival, CardListIsReadOncePerBatchAndEditsApplyToTheNext) {
    useDefaultClient(cardList({}));
    setListing("Solvane\n");
    // Closes are watched too, so that repeated opens are not merged into one event.
    const int watch = inotify_init1(IN_NONBLOCK);
    ASSERT_GE(inotify_add_watch(watch, daemon().state.MDCardListPath->c_str(),
                                IN_OPEN | IN_CLOSE_NOWRITE),
              0);
    FakeBatch first({makeDevice({}), makeDevice({}), makeDevice({})});
    daemon().mycallbacknotifaction(first);
    inotify_event events[16];
    const auto bytes = read(watch, events, sizeof events);
    close(watch);
    ASSERT_GT(bytes, 0);
    EXPECT_EQ(std::count_if(events, events + bytes / sizeof(inotify_event),
                            [](const inotify_event& e) { return (e.mask & IN_OPEN) != 0; }),
              1);
    EXPECT_EQ(count(kFamilyRejected), 3);

    ASSERT_TRUE(corvant::writeDictionaryToFile(cardList({{"ttyUSB", "0", "4817", "5382"}}),
                                               *daemon().state.MDCardListPath));
    FakeBatch second({makeDevice({})});
    daemon().mycallbacknotifaction(second);
    EXPECT_EQ(doubles.posts.size(), 1u);
}

}  // namespace
}  // namespace kelvorn::testing
