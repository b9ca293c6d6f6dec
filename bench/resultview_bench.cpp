// How fast the result view fills and reads its rows, and how quickly the view
// itself opens and scrolls over a large result.
//
// Builds a result tree in memory (folders of files with a mix of action codes and
// more extensions than the icon list holds), then times:
//   fill all:      ShowView(all) on the rows (recount, fill, recount, totals)
//   fill changes:  ShowView(changes)
//   model walk:    every row's index, then data() of every column as the view
//                  asks for it (text, image, background, alignment)
//   view open:     a view over --view-items rows: model reset, every row
//                  expanded, first paint
//   view scroll:   steps of at least a page from the top to the bottom, each
//                  painted
// and prints the median of each, per item where that says more, and the growth of
// the peak resident set while the rows were built. Runs off screen.
//
//   resultview_bench [--items N] [--view-items M] [--rounds R]

#include "model/UTResultRows.h"
#include "ui/UResultModel.h"
#include "ui/UResultView.h"

#include <QApplication>
#include <QPixmap>
#include <QScrollBar>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace {

using namespace tandemora;
using Clock = std::chrono::steady_clock;

struct Options {
    int Items = 1000000;
    int ViewItems = 200000;
    int Rounds = 3;
};

Options ParseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        const int value = std::atoi(argv[i + 1]);
        if (arg == "--items") {
            options.Items = value;
        } else if (arg == "--view-items") {
            options.ViewItems = value;
        } else if (arg == "--rounds") {
            options.Rounds = std::max(1, value);
        }
    }
    return options;
}

double Seconds(Clock::time_point from) {
    return std::chrono::duration<double>(Clock::now() - from).count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

long PeakKilobytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// About 50 files per folder; codes and extensions rotate so that every view kind
// has rows and the icon list runs full.
TFileTree* BuildResult(TArenaPtr& arena, int items) {
    static const int32_t codes[] = {saCopyLtoR,      saCopyRtoL,  saSame,     saSame,
                                    saOverwriteRtoL, saSame,      saConflict, saDeleteRight,
                                    saDeleteLeft,    saDoNotCopy, saSame,     saOverwriteLtoR};
    // Dates spread over a month, as a real tree's would be.
    auto dosTime = [](int i) {
        return static_cast<int32_t>((41u << 25) | (3u << 21) | ((1u + i % 28) << 16) | ((i / 7 % 24) << 11) |
                                    ((i / 3 % 60) << 5) | (i % 30));
    };
    TFileTree* root = NewTree(arena);
    TFileTree* folder = nullptr;
    for (int i = 0; i < items; ++i) {
        const bool newFolder = i % 50 == 0;
        TFileAttri* a = arena->NewAttri();
        a->IsFolder = newFolder ? 1 : 0;
        a->Name = newFolder ? "folder" + std::to_string(i)
                            : "file" + std::to_string(i) + ".e" + std::to_string(i % 60);
        a->RelPath = newFolder ? "/" : "/" + folder->Name + "/";
        a->Size = newFolder ? 0 : 1000 + i % 5000;
        a->Time = dosTime(i);
        a->Attr = newFolder ? 16 : 32;
        TFileTree* node = (newFolder ? root : folder)->AddChild(a->Name, a);
        node->OtherTime = dosTime(i + 1);
        node->OtherAttr = a->Attr;
        node->OtherSize = a->Size;
        if (newFolder) {
            folder = node;
        } else {
            node->SetAction(codes[i % (sizeof(codes) / sizeof(codes[0]))]);
        }
    }
    return root;
}

// Every index of every row, and data() of every column for the roles the view
// asks for when it paints a cell. Returns the number of cells read.
long WalkModel(TResultRows& rows, TResultRowsModel& model, long& textBytes) {
    long cells = 0;
    rows.ForEachRow([&](TResultRow* row) {
        for (int column = 0; column < TResultRowsModel::kColumnCount; ++column) {
            const QModelIndex index = model.IndexOf(row, column);
            const QVariant text = model.data(index, Qt::DisplayRole);
            textBytes += text.toString().size();
            model.data(index, Qt::DecorationRole);
            model.data(index, Qt::BackgroundRole);
            model.data(index, Qt::TextAlignmentRole);
            ++cells;
        }
    });
    return cells;
}

void BenchRowsAndModel(const Options& options) {
    const long before = PeakKilobytes();
    TArenaPtr arena;
    TFileTree* result = BuildResult(arena, options.Items);
    TResultRows rows;
    TResultRowsModel model(&rows);
    TResultImages images;
    model.SetImages(&images);
    rows.ExtImageIndex = [&images](const std::string& ext) { return images.GetExtImageIndex(ext); };
    rows.InitView("Bench");
    rows.SetResultTree(result);

    std::vector<double> fillAll, fillChanges, walk;
    long cells = 0;
    long textBytes = 0;
    int rowCount = 0;
    for (int round = 0; round < options.Rounds; ++round) {
        images.ResetExtCache();
        auto start = Clock::now();
        model.BeginRebuild();
        rows.ShowView(vkChanged);
        model.EndRebuild();
        fillChanges.push_back(Seconds(start));

        start = Clock::now();
        model.BeginRebuild();
        rows.ShowView(vkAll);
        model.EndRebuild();
        fillAll.push_back(Seconds(start));
        rowCount = rows.RowCount();

        start = Clock::now();
        textBytes = 0;
        cells = WalkModel(rows, model, textBytes);
        walk.push_back(Seconds(start));
    }
    const long grown = PeakKilobytes() - before;
    const double all = Median(fillAll);
    const double changes = Median(fillChanges);
    const double read = Median(walk);
    std::printf("result:        %d items, %d rows in the all view\n", options.Items, rowCount);
    std::printf("fill all:      %.3f s  (%.0f ns per item)\n", all, all * 1e9 / options.Items);
    std::printf("fill changes:  %.3f s  (%.0f ns per item)\n", changes, changes * 1e9 / options.Items);
    std::printf("model walk:    %.3f s  %ld cells  (%.0f ns per cell, 4 roles)  [%ld text chars]\n", read,
                cells, read * 1e9 / static_cast<double>(cells), textBytes);
    std::printf("peak memory:   +%ld MB for tree, rows and model (%.0f bytes per item)\n", grown / 1024,
                static_cast<double>(grown) * 1024.0 / options.Items);
}

void BenchView(const Options& options) {
    TArenaPtr arena;
    TFileTree* result = BuildResult(arena, options.ViewItems);
    TResultRows rows;
    TResultRowsModel model(&rows);
    TResultView view(&model);
    rows.ExtImageIndex = [&view](const std::string& ext) { return view.ImageList1.GetExtImageIndex(ext); };
    rows.InitView("Bench");
    rows.SetResultTree(result);
    view.resize(1200, 800);
    view.show();
    QApplication::processEvents();

    std::vector<double> open, scroll;
    int pages = 0;
    for (int round = 0; round < options.Rounds; ++round) {
        auto start = Clock::now();
        model.BeginRebuild();
        rows.ShowView(vkAll);
        model.EndRebuild();
        view.expandAll();
        view.viewport()->grab();
        open.push_back(Seconds(start));

        QScrollBar* bar = view.verticalScrollBar();
        bar->setValue(0);
        start = Clock::now();
        pages = 0;
        // Page steps, at most about a thousand of them spread over the whole list.
        const int step = std::max(bar->pageStep(), bar->maximum() / 1000);
        while (bar->value() < bar->maximum()) {
            bar->setValue(bar->value() + step);
            view.viewport()->grab();
            ++pages;
        }
        scroll.push_back(Seconds(start));
    }
    const double opened = Median(open);
    const double scrolled = Median(scroll);
    std::printf("view open:     %.3f s  for %d rows (reset, expand all, first paint)\n", opened,
                rows.RowCount());
    std::printf("view scroll:   %.3f s  for %d pages  (%.2f ms per painted page)\n", scrolled, pages,
                pages > 0 ? scrolled * 1e3 / pages : 0.0);
}

} // namespace

int main(int argc, char** argv) {
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    QApplication app(argc, argv);
    const Options options = ParseOptions(argc, argv);
    BenchRowsAndModel(options);
    BenchView(options);
    return 0;
}
