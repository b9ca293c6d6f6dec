// A LIST reply of an FTP server (Unix "ls -l" or IIS style), as a hostile or
// broken server may send it. A listing is taken whole or not at all, and a name
// it gives enters a tree (IsSafeEntryName lets it in) exactly when it names an
// item inside the listed folder: not empty, not "." or "..", without "/" or NUL.

#include "FuzzSupport.h"

#include "endpoints/UTFileOper.h"
#include "platform/FtpSession.h"

#include <fuzzer/FuzzedDataProvider.h>

using namespace tandemora;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    // The moment of the listing, which dates without a year depend on: any
    // second from 1970 to 2100.
    const auto now = static_cast<time_t>(input.ConsumeIntegralInRange<int64_t>(0, 4102444800));
    const std::string text = input.ConsumeRemainingBytesAsString();
    std::vector<TFtpEntry> entries;
    if (!ParseListListing(text, now, entries)) {
        fuzzsupport::Expect(entries.empty(), "a refused listing left entries behind", text);
        return 0;
    }
    for (const TFtpEntry& entry : entries) {
        fuzzsupport::Expect(IsSafeEntryName(entry.Name) == fuzzsupport::IsSafeName(entry.Name),
                            "the scans let in a name that could leave its folder, or keep out a good one",
                            entry.Name + "\n---- listing ----\n" + text);
        fuzzsupport::Expect(entry.Size >= 0 && entry.Time != 0, "a listed entry has no size or time", text);
    }
    return 0;
}
