#include "dialogs/UPatternCheck.h"

#include "engine/UTFilters.h"
#include "model/UTUtils.h"
#include "ui/UQtText.h"

#include <QSignalBlocker>
#include <QTableWidget>

namespace tandemora {

QString PatternProblem(const QString& ListName, const std::string& Pattern) {
    std::string error;
    if (TrimBlanks(Pattern).empty() || CheckFilterPattern(Pattern, error)) {
        return QString();
    }
    return "The " + ListName.toLower() + " pattern \"" + ToQ(Pattern) +
           "\" is not a regular expression: " + ToQ(error) + ".";
}

QString JoinedPatternProblem(const QString& ListName, const std::vector<std::string>& First,
                             const std::vector<std::string>& Second) {
    std::string error;
    if (CheckFilterPattern(BuildFilterExpr(First, Second), error)) {
        return QString();
    }
    return "The " + ListName.toLower() + " patterns do not work together: " + ToQ(error) + ".";
}

int CheckPatternList(QTableWidget* List, const QString& ListName, QString& Problem) {
    Problem.clear();
    int first = -1;
    // Marking a cell is no edit of it.
    const QSignalBlocker quiet(List);
    for (int row = 0; row < List->rowCount(); ++row) {
        QTableWidgetItem* item = List->item(row, 1);
        if (item == nullptr) {
            continue;
        }
        const QString problem = PatternProblem(ListName, FromQ(item->text()));
        item->setToolTip(problem);
        item->setForeground(problem.isEmpty() ? QBrush() : QBrush(Qt::red));
        if (!problem.isEmpty() && first < 0) {
            first = row;
            Problem = problem;
        }
    }
    List->viewport()->update();
    return first;
}

void AddPatternRow(QTableWidget* List, const char* ErrorKey) {
    try {
        const int row = List->currentRow() >= 0 ? List->currentRow() : 0;
        const QString key = QString::number(List->rowCount() + 1);
        List->insertRow(row);
        List->setItem(row, 0, new QTableWidgetItem(key));
        List->setItem(row, 1, new QTableWidgetItem(QString()));
        List->setCurrentCell(row, 1);
        List->setFocus();
    } catch (const std::exception& e) {
        ErrorLogger.LogError(FromQ(Lang(ErrorKey)), e);
    }
}

} // namespace tandemora
