#pragma once
// Filter patterns checked where they are typed. The analysis joins a task's
// patterns and the program-wide ones into one regular expression per kind; a
// pattern that does not compile would only fail the next analysis, so the task
// options and the program options check each pattern as it is entered and
// refuse to save a list the analysis could not use, saying what is wrong.

#include <QString>
#include <string>
#include <vector>

class QTableWidget;

namespace tandemora {

// What is wrong with one pattern of the list called ListName ("exclude"), in a
// sentence; empty when the analysis can use it. A blank row is no pattern.
QString PatternProblem(const QString& ListName, const std::string& Pattern);

// What is wrong with a list's patterns joined with the other list of their kind
// (a task's list and the program-wide one), as the analysis joins them; empty
// when the expression compiles.
QString JoinedPatternProblem(const QString& ListName, const std::vector<std::string>& First,
                             const std::vector<std::string>& Second);

// Checks every row of a pattern list (the patterns in column 1): a bad pattern
// is shown in red with its problem as the cell's hint. Returns the first row
// with a problem (-1 when there is none) and its problem in Problem.
int CheckPatternList(QTableWidget* List, const QString& ListName, QString& Problem);

// Adds an empty numbered row where the list's current row is and gives the list
// the focus, so the pattern can be typed at once; a failure is logged under the
// language text ErrorKey ("addexcludeerror").
void AddPatternRow(QTableWidget* List, const char* ErrorKey);

} // namespace tandemora
