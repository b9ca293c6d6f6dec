#include "platform/Exceptions.h"

#include <cstdlib>
#include <cxxabi.h>
#include <memory>
#include <typeinfo>

namespace tandemora {

std::string ExceptionClassName(const std::exception& e) {
    if (auto* own = dynamic_cast<const TException*>(&e)) {
        return own->ClassName();
    }
    const char* mangled = typeid(e).name();
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> demangled(abi::__cxa_demangle(mangled, nullptr, nullptr, &status),
                                                     std::free);
    return status == 0 && demangled ? std::string(demangled.get()) : std::string(mangled);
}

} // namespace tandemora
