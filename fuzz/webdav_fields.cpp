// The texts inside a WebDAV reply that the endpoint decodes itself: the date of
// a "getlastmodified" (RFC 1123), and percent-encoded paths. A date that is
// taken names an instant that, written again, reads back as the same instant;
// any text survives percent-encoding and decoding unchanged.

#include "FuzzSupport.h"

#include "endpoints/UTWebDavFileOper.h"
#include "platform/Exceptions.h"

#include <ctime>

using namespace tandemora;

namespace {

void CheckDate(const std::string& text) {
    time_t instant = 0;
    try {
        instant = TWebDavFileOper::ParseHttpInstant(text);
        TWebDavFileOper::ParseHttpDate(text);
    } catch (const TException&) {
        return;
    }
    std::tm utc{};
    char written[64];
    if (gmtime_r(&instant, &utc) == nullptr || utc.tm_year + 1900 < 1000 || utc.tm_year + 1900 > 9999 ||
        std::strftime(written, sizeof written, "%a, %d %b %Y %H:%M:%S GMT", &utc) == 0) {
        return;
    }
    time_t again = 0;
    try {
        again = TWebDavFileOper::ParseHttpInstant(written);
    } catch (const TException& e) {
        fuzzsupport::Expect(false, std::string("a written date is refused: ") + e.what(), written);
    }
    fuzzsupport::Expect(again == instant, "a date names another instant when written again",
                        text + "\n" + written);
}

void CheckPath(const std::string& text) {
    const std::string encoded = TWebDavFileOper::EncodePath(text);
    fuzzsupport::Expect(TWebDavFileOper::DecodePath(encoded) == text, "a path does not survive encoding",
                        text + "\n" + encoded);
    const std::string decoded = TWebDavFileOper::DecodePath(text);
    fuzzsupport::Expect(TWebDavFileOper::DecodePath(TWebDavFileOper::EncodePath(decoded)) == decoded,
                        "a decoded path does not survive encoding", text);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text = fuzzsupport::Text(data, size);
    CheckDate(text);
    CheckPath(text);
    return 0;
}
