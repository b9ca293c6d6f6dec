#include "model/UTFileAttri.h"

#include <ostream>

namespace tandemora {

std::ostream& operator<<(std::ostream& stream, const TRelPath& path) {
    return stream << path.str();
}

} // namespace tandemora
