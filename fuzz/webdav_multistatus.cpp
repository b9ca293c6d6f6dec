// A WebDAV server's multistatus reply to a listing. A reply is taken whole or
// not at all; when it is taken, its first entry is the listed folder itself and
// every other entry is a direct member, whose name enters a tree
// (IsSafeEntryName lets it in) exactly when it names an item inside the folder:
// not empty, not "." or "..", without "/" or NUL.

#include "FuzzSupport.h"

#include "endpoints/UTFileOper.h"
#include "endpoints/UTWebDavFileOper.h"

#include <fuzzer/FuzzedDataProvider.h>

using namespace tandemora;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const char* const urls[] = {"http://127.0.0.1:8080/dav/sub dir", "http://h/dav/", "http://h/",
                                       "http://h"};
    FuzzedDataProvider input(data, size);
    const std::string url = urls[input.ConsumeIntegralInRange<size_t>(0, 3)];
    const std::string text = input.ConsumeRemainingBytesAsString();

    TWebDavFileOper oper(false);
    if (!oper.ParseMultistatus(text, url)) {
        fuzzsupport::Expect(oper.FileList.empty(), "a refused reply left entries behind", text);
        return 0;
    }
    fuzzsupport::Expect(!oper.FileList.empty() && oper.FileList.front()->RelPath == url,
                        "a taken reply does not lead with the folder itself", text);
    for (size_t i = 1; i < oper.FileList.size(); ++i) {
        const TFileAttri& entry = *oper.FileList[i];
        fuzzsupport::Expect(IsSafeEntryName(entry.Name) == fuzzsupport::IsSafeName(entry.Name),
                            "the scans let in a name that could leave its folder, or keep out a good one",
                            entry.Name + "\n---- reply ----\n" + text);
        const std::string& path = entry.RelPath.str();
        const std::string tail = "/" + entry.Name;
        fuzzsupport::Expect(path.size() > tail.size() &&
                                path.compare(path.size() - tail.size(), tail.size(), tail) == 0,
                            "an entry's path does not end in its name", path + "\n" + entry.Name);
        fuzzsupport::Expect(entry.Size >= 0, "an entry has a negative size", text);
    }
    return 0;
}
