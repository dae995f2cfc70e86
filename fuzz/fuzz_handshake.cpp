// Fuzz target: the handshake body as the message server handles it. The bound check must
// agree with what parsing keeps, parsing must consume exactly the four fields, and the
// record must serialize back to those fields. Run by libFuzzer, one input at a time.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "protocol/MsgFrame.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const size_t maxField = data[0];
    const std::string body(reinterpret_cast<const char*>(data) + 1, size - 1);
    const bool within = tessil::HandshakeFieldsWithin(body, maxField);

    tessil::TMsgClientInfo info;
    std::string rest = body;
    info.SerializeFrom(rest);
    const std::string* fields[] = {&info.FID, &info.FUser, &info.FPassword, &info.FVersion};
    bool fits = true;
    for (const std::string* f : fields) {
        if (f->find('\0') != std::string::npos) std::abort();
        fits = fits && f->size() <= maxField;
    }
    if (fits != within) std::abort();
    // What was consumed reads back as the serialized fields; when bytes are left over, all
    // four fields had their terminators.
    const std::string again = info.SerializeTo();
    const size_t consumed = body.size() - rest.size();
    if (consumed > again.size() || body.substr(0, consumed) != again.substr(0, consumed))
        std::abort();
    if (!rest.empty() && consumed != again.size()) std::abort();
    // Without the password, only its field differs.
    tessil::TMsgClientInfo open;
    std::string shown = info.SerializeTo(false);
    open.SerializeFrom(shown);
    if (open.FID != info.FID || open.FUser != info.FUser || !open.FPassword.empty() ||
        open.FVersion != info.FVersion)
        std::abort();
    return 0;
}
