// TDataMod, the account store: the settings' section "DB", read once, and empty account
// lookups. Created by the process entry first; the lookup runs on request workers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tessil {

class TDataMod {
  public:
    // Reads iniPath when it exists (LoadDB_Env), then ConnectDatabase.
    explicit TDataMod(std::string iniPath = DefaultIniPath());

    // The executable's own path with its extension replaced by ".ini".
    static std::string DefaultIniPath();

    // Fills the fields from the file; a missing file leaves them as they are. Each key
    // that is missing gets its default; a PORT that is not an integer gives 3306.
    void LoadDB_Env();
    // No database is reached.
    void ConnectDatabase() {}
    // Every user ID gets empty account data.
    void DB_GetUserInfo(std::string_view usrid, std::string& name, std::string& info,
                        std::string& tagId) const;

    const std::string& IniFileName() const { return iniFileName_; }

    std::string DBIP;
    int32_t DBPort = 0;
    std::string DBName;
    std::string DBAdmID;
    std::string DBAdmPass;

  private:
    std::string iniFileName_;
};

}  // namespace tessil
