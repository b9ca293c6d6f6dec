// The reply of the update server: an INI text that names the published
// version. Whatever it holds, a version that is taken compares as a version
// must: equal to itself and to itself with ".0" added, older than itself with
// ".1" added, and in one consistent order with versions of every shape.

#include "FuzzSupport.h"

#include "tasks/URegSettings.h"

using namespace tandemora;

namespace {

int Sign(int order) {
    return (order > 0) - (order < 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string published = DescriptionVersion(fuzzsupport::Text(data, size));
    if (!IsVersionText(published)) {
        return 0;
    }
    const std::string& v = published;
    fuzzsupport::Expect(CompareVersions(v, v) == 0 && CompareVersions(v + ".0", v) == 0 &&
                            CompareVersions(v + ".1", v) > 0 && CompareVersions(v, v + ".1") < 0,
                        "a version does not compare with its own variants", v);
    static const char* const others[] = {
        kProgramVersion, "0", "2.10", "2.9.99", "0002.01.000", "10.0.0.1", "99999999999999999999.1"};
    for (const char* a : others) {
        const int va = Sign(CompareVersions(v, a));
        fuzzsupport::Expect(va == -Sign(CompareVersions(a, v)), "version order is not symmetric",
                            v + " / " + a);
        for (const char* b : others) {
            const int ab = Sign(CompareVersions(a, b));
            const int vb = Sign(CompareVersions(v, b));
            // v <= a <= b gives v <= b, and the same upwards.
            fuzzsupport::Expect(!(va <= 0 && ab <= 0) || vb <= (va < 0 || ab < 0 ? -1 : 0),
                                "version order is not transitive", v + " / " + a + " / " + b);
            fuzzsupport::Expect(!(va >= 0 && ab >= 0) || vb >= (va > 0 || ab > 0 ? 1 : 0),
                                "version order is not transitive", v + " / " + a + " / " + b);
        }
    }
    return 0;
}
