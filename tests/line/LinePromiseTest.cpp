// What the station promises its operator beyond one unit's upload: the record file grows run after run, a
// named port that is not there has its own record and counts, a failure's record names its cause, and watch
// mode without ports watches the by-id links.

#include "Process.h"
#include "TestImages.h"
#include "line/LineOptions.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sstream>

namespace {

const std::string BIN = KV_BIN_DIR;

std::vector<nlohmann::json> Records(const std::string& path) {
    std::vector<nlohmann::json> records;
    std::istringstream in(ReadAll(path));
    for (std::string line; std::getline(in, line);)
        records.push_back(nlohmann::json::parse(line, nullptr, false));
    return records;
}

} // namespace

// Each row is one run of the station into the same record file, with a receiver whose erase fails and a
// port that does not exist.
TEST(LinePromises, RecordsAppendNameTheCauseAndCountMissingPorts) {
    CTestDir dir;
    UnionParams params;
    params.fwSize = 0x4000;
    const std::string image = dir.Write("image.bin", Built(BuildUnionImage, params));
    const std::string json = dir.File("records.jsonl");
    for (bool logDir : {false, true}) {
        SCOPED_TRACE(logDir ? "with a log folder" : "without a log folder");
        const std::string port = dir.File(logDir ? "p1" : "p0"), missing = dir.File("missing");
        CChildProcess sim;
        ASSERT_TRUE(sim.Start(FastSimArgs(BIN, {"--link", port, "--fault", "erase-fail"}), {}));
        ASSERT_TRUE(sim.FirstLine(10000).has_value());
        std::vector<std::string> argv = {BIN + "/kavrel-line", "--json", json, "-i", image, port, missing};
        if (logDir)
            argv.insert(argv.end() - 2, {"--log-dir", dir.Path()});
        const ProcessResult r = RunProcess(argv, {}, 120000);
        ASSERT_FALSE(r.timedOut) << r.out;
        EXPECT_EQ(r.exitCode, 5) << r.out;
        EXPECT_NE(r.out.find("2 units, 0 passed, 2 failed (exit code 5)"), std::string::npos) << r.out;
        const std::vector<nlohmann::json> records = Records(json);
        ASSERT_EQ(records.size(), logDir ? 4u : 2u) << ReadAll(json); // the first run's records stay
        for (const nlohmann::json& j : std::vector(records.end() - 2, records.end())) {
            ASSERT_TRUE(j.is_object());
            if (j.at("port") == missing) {
                EXPECT_EQ(j.at("result"), "port not found");
                EXPECT_EQ(j.at("exitCode"), 2);
            } else {
                EXPECT_EQ(j.at("port"), port);
                EXPECT_EQ(j.at("exitCode"), 5);
                EXPECT_EQ(j.at("reason"), "FLASH erase failure.");
            }
        }
    }
}

TEST(LinePromises, WatchWithoutPortsWatchesTheByIdLinks) {
    for (bool watch : {false, true}) {
        std::vector<std::string> args = {"kavrel-line", "-i", "image.bin"};
        if (watch)
            args.push_back("--watch");
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        LineOptions options;
        std::string error;
        EXPECT_EQ(ParseLineOptions(static_cast<int>(argv.size()), argv.data(), options, error), watch)
            << error;
        if (watch)
            EXPECT_EQ(options.ports, std::vector<std::string>{"/dev/serial/by-id/*"});
        else
            EXPECT_EQ(error, "no port given");
    }
}
