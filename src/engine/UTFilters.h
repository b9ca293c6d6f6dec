#pragma once
// Include and exclude patterns of an analysis: how the pattern lists become one
// regular expression each, and how a name is tested against it.
//
// Names are matched with PCRE2: case-sensitive, "." also matches a line break,
// "^" and "$" only at the ends of the whole name, and a match anywhere in the
// name counts. Names and patterns are UTF-8; a name that is not valid UTF-8 is
// still searched (its bad bytes simply match nothing).

#include "platform/Exceptions.h"

#include <cstddef>
#include <string>
#include <vector>

struct pcre2_real_code_8;
struct pcre2_real_match_data_8;

namespace tandemora {

// A filter pattern that is not a valid regular expression.
class EFilterError : public TException {
public:
    using TException::TException;
    const char* ClassName() const override { return "ERegExpr"; }
};

// The text of a pattern list: every pattern followed by CR LF.
std::string PatternListText(const std::vector<std::string>& list);

// One expression from the task's list followed by the program-wide list: the
// joined text with every CR LF turned into "|" and its last character dropped.
// {"bak$", "^~"} and {"tmp$"} give "bak$|^~|tmp$"; two empty lists give "".
std::string BuildFilterExpr(const std::vector<std::string>& taskList,
                            const std::vector<std::string>& programList);

// Whether Pattern compiles the way the analysis compiles its filter expressions.
// When it does not, Error says why and at which character (counted from 1), for
// instance "quantifier does not follow a repeatable item at character 1" for
// "*.tmp". The options dialogs check each pattern with it as it is entered.
bool CheckFilterPattern(const std::string& Pattern, std::string& Error);

// One compiled expression. Compiled once per analysis and then searched for
// every item, so the match buffer is kept with it. Not shared between threads.
class TFilterRegex {
public:
    TFilterRegex() = default;
    ~TFilterRegex();
    TFilterRegex(const TFilterRegex&) = delete;
    TFilterRegex& operator=(const TFilterRegex&) = delete;

    // Compiles expr, replacing what was compiled before. False when it is not a
    // valid expression; ErrorMessage() then says why (PCRE2's own words).
    bool Compile(const std::string& expr);
    bool Compiled() const { return code_ != nullptr; }
    // True when the expression matches somewhere in name; false when nothing is
    // compiled. Raises EFilterError when the search fails (the match limit of a
    // pattern that backtracks too much), as no answer is known then.
    bool Matches(const std::string& name) const;

    const std::string& ErrorMessage() const { return errorMessage_; }
    size_t ErrorOffset() const { return errorOffset_; }

private:
    void Release();

    pcre2_real_code_8* code_ = nullptr;
    pcre2_real_match_data_8* matchData_ = nullptr;
    std::string errorMessage_;
    size_t errorOffset_ = 0;
};

} // namespace tandemora
