#include "engine/UTFilters.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

namespace tandemora {

std::string PatternListText(const std::vector<std::string>& list) {
    std::string text;
    for (const std::string& pattern : list) {
        text += pattern;
        text += "\r\n";
    }
    return text;
}

std::string BuildFilterExpr(const std::vector<std::string>& taskList,
                            const std::vector<std::string>& programList) {
    const std::string text = PatternListText(taskList) + PatternListText(programList);
    std::string expr;
    expr.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            expr += '|';
            ++i;
        } else {
            expr += text[i];
        }
    }
    // The last line break became a trailing "|"; without it an empty pattern at
    // the end would not turn into an alternative that matches every name.
    if (!expr.empty()) {
        expr.pop_back();
    }
    return expr;
}

bool CheckFilterPattern(const std::string& Pattern, std::string& Error) {
    TFilterRegex regex;
    if (regex.Compile(Pattern)) {
        Error.clear();
        return true;
    }
    // The offset counts bytes; a person counts characters.
    size_t character = 1;
    for (size_t i = 0; i < regex.ErrorOffset() && i < Pattern.size(); ++i) {
        character += (static_cast<unsigned char>(Pattern[i]) & 0xC0) != 0x80 ? 1 : 0;
    }
    Error = regex.ErrorMessage() + " at character " + std::to_string(character);
    return false;
}

TFilterRegex::~TFilterRegex() {
    Release();
}

void TFilterRegex::Release() {
    pcre2_match_data_free(matchData_);
    pcre2_code_free(code_);
    matchData_ = nullptr;
    code_ = nullptr;
}

bool TFilterRegex::Compile(const std::string& expr) {
    Release();
    errorMessage_.clear();
    errorOffset_ = 0;
    // UTF mode so that "." and classes take whole characters of a UTF-8 name; a
    // name with stray bytes is still searched rather than failing the analysis.
    // "$" means the end of the whole name, not also the place before a final
    // line break, so "txt$" never matches a name that merely ends "txt\n".
    const uint32_t options = PCRE2_DOTALL | PCRE2_DOLLAR_ENDONLY | PCRE2_UTF | PCRE2_MATCH_INVALID_UTF;
    int errorCode = 0;
    PCRE2_SIZE errorOffset = 0;
    code_ = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(expr.data()), expr.size(), options, &errorCode,
                          &errorOffset, nullptr);
    if (code_ == nullptr) {
        PCRE2_UCHAR buffer[256];
        const int length = pcre2_get_error_message(errorCode, buffer, sizeof(buffer));
        errorMessage_ = length > 0 ? std::string(reinterpret_cast<const char*>(buffer), length)
                                   : "invalid regular expression";
        errorOffset_ = errorOffset;
        return false;
    }
    // Every item of a tree is searched, so a JIT-compiled form pays off; where the
    // JIT is not available the interpreter does the same work.
    pcre2_jit_compile(code_, PCRE2_JIT_COMPLETE);
    matchData_ = pcre2_match_data_create_from_pattern(code_, nullptr);
    if (matchData_ == nullptr) {
        Release();
        errorMessage_ = "out of memory";
        return false;
    }
    return true;
}

bool TFilterRegex::Matches(const std::string& name) const {
    if (code_ == nullptr) {
        return false;
    }
    const int rc =
        pcre2_match(code_, reinterpret_cast<PCRE2_SPTR>(name.data()), name.size(), 0, 0, matchData_, nullptr);
    if (rc >= 0) {
        return true;
    }
    if (rc == PCRE2_ERROR_NOMATCH) {
        return false;
    }
    // A search that gave up (a pattern that backtracks without end hits the match
    // limit) has not found out anything: read as "no match", an exclude pattern
    // would let through the very items it was written to keep out.
    PCRE2_UCHAR buffer[256];
    const int length = pcre2_get_error_message(rc, buffer, sizeof(buffer));
    const std::string message = length > 0 ? std::string(reinterpret_cast<const char*>(buffer), length)
                                           : "regular expression search failed";
    throw EFilterError(message + " on the name \"" + name + "\"");
}

} // namespace tandemora
