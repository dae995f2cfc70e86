// Tests of the account store's settings: a missing file, per-key defaults, a PORT that
// is not an integer, keys outside section "DB", and the empty account lookup.
#include "server/DataMod.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace tessil {
namespace {

struct Settings {
    std::string ip;
    int32_t port;
    std::string name, id, pass;
    bool operator==(const Settings&) const = default;
};

Settings Read(const TDataMod& m) {
    return {m.DBIP, m.DBPort, m.DBName, m.DBAdmID, m.DBAdmPass};
}

TEST(DataMod, ReadsSectionDbWithPerKeyDefaults) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("tessil-datamod-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    struct Case {
        const char* content;
        Settings expected;
    };
    const Case cases[] = {
        {"[DB]\nPORT=999\n", {"127.0.0.1", 999, "TessilService", "", ""}},
        {"[DB]\nPORT=12ab\n", {"127.0.0.1", 3306, "TessilService", "", ""}},
        {"[OTHER]\nSERVER=10.0.0.1\n", {"127.0.0.1", 3306, "TessilService", "", ""}},
        {"[DB]\nSERVER = db.local\nPORT=5432\nDBNAME=Lobby\nID=admin\nPASS=s3cret\n",
         {"db.local", 5432, "Lobby", "admin", "s3cret"}},
    };
    int i = 0;
    for (const auto& k : cases) {
        const auto path = dir / ("case" + std::to_string(i++) + ".ini");
        std::ofstream(path) << k.content;
        EXPECT_EQ(Read(TDataMod(path.string())), k.expected) << k.content;
    }
    EXPECT_EQ(Read(TDataMod((dir / "missing.ini").string())), (Settings{"", 0, "", "", ""}));
    std::filesystem::remove_all(dir);
}

TEST(DataMod, DefaultPathIsTheExecutableWithIniExtensionAndLookupsAreEmpty) {
    const std::string path = TDataMod::DefaultIniPath();
    EXPECT_EQ(std::filesystem::path(path).filename(), "server_tests.ini");
    TDataMod m("");
    std::string name = "x", info = "y", tag = "z";
    m.DB_GetUserInfo("kim", name, info, tag);
    EXPECT_EQ(name + info + tag, "");
}

}  // namespace
}  // namespace tessil
