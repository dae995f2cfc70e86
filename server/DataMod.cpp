// The account store's settings reader (inih) and its empty account lookup.
// Loaded once on the main thread; DB_GetUserInfo is called from request workers.
#include "server/DataMod.h"

#include <ini.h>
#include <strings.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace tessil {

namespace {
int StoreDbKey(void* user, const char* section, const char* name, const char* value) {
    auto* mod = static_cast<TDataMod*>(user);
    if (strcasecmp(section, "DB") != 0) return 1;
    if (strcasecmp(name, "SERVER") == 0) {
        mod->DBIP = value;
    } else if (strcasecmp(name, "PORT") == 0) {
        errno = 0;
        char* end = nullptr;
        const long port = std::strtol(value, &end, 10);
        const bool whole =
            end != value && *end == '\0' && errno == 0 && port >= INT32_MIN && port <= INT32_MAX;
        mod->DBPort = whole ? static_cast<int32_t>(port) : 3306;
    } else if (strcasecmp(name, "DBNAME") == 0) {
        mod->DBName = value;
    } else if (strcasecmp(name, "ID") == 0) {
        mod->DBAdmID = value;
    } else if (strcasecmp(name, "PASS") == 0) {
        mod->DBAdmPass = value;
    }
    return 1;
}
}  // namespace

TDataMod::TDataMod(std::string iniPath) : iniFileName_(std::move(iniPath)) {
    LoadDB_Env();
    ConnectDatabase();
}

std::string TDataMod::DefaultIniPath() {
    std::error_code ec;
    std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return "TessilServiceApp.ini";
    exe.replace_extension(".ini");
    return exe.string();
}

void TDataMod::LoadDB_Env() {
    std::error_code ec;
    if (iniFileName_.empty() || !std::filesystem::is_regular_file(iniFileName_, ec)) return;
    DBIP = "127.0.0.1";
    DBPort = 3306;
    DBName = "TessilService";
    DBAdmID.clear();
    DBAdmPass.clear();
    ini_parse(iniFileName_.c_str(), StoreDbKey, this);
}

void TDataMod::DB_GetUserInfo(std::string_view /*usrid*/, std::string& name, std::string& info,
                              std::string& tagId) const {
    name.clear();
    info.clear();
    tagId.clear();
}

}  // namespace tessil
