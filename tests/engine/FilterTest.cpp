// The filter stage: how the pattern lists become one expression, how names
// match, which items a task's patterns and switches keep out, and a pattern that
// does not compile or a search that gives up.

#include "engine/UTAnalyzeThread.h"
#include "engine/UTFilters.h"
#include "tasks/UTSysConfig.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using namespace tandemora;
using testsupport::FindNode;
using testsupport::TTreeBuilder;

namespace {

enum TState { kNone, kIncluded, kExcluded, kBoth };

TState StateOf(const TFileTree* node) {
    return static_cast<TState>((node->IncludedFlag == 1 ? 1 : 0) + (node->ExcludedFlag == 1 ? 2 : 0));
}

// A direct-mode analysis over trees that are the same on both sides, so every
// item is in the result and only the filters differ.
class TFilterRun {
public:
    TFilterRun() {
        Task.LFolder.FolerAllName = "/l";
        Task.RFolder.FolerAllName = "/r";
        Result = NewTree(ResultArena);
    }
    TSyncTask Task;
    TTreeBuilder Left, Right, NoSnapshot, NoSnapshot2;
    TArenaPtr ResultArena;
    TFileTree* Result;
    std::unique_ptr<TAnalyzeThread> Thread;

    void File(const std::string& path, int32_t attr = faArchive) {
        Left.File(path, 100, 0, attr);
        Right.File(path, 100, 0, attr);
    }
    TAnalyzeThread& Make() {
        Thread = std::make_unique<TAnalyzeThread>(&Task, Left.Root, Right.Root, Result, NoSnapshot.Root,
                                                  NoSnapshot2.Root);
        return *Thread;
    }
    TState State(const std::string& path) const {
        const TFileTree* node = FindNode(Result, path);
        EXPECT_NE(node, nullptr) << path;
        return node == nullptr ? kBoth : StateOf(node);
    }
};

} // namespace

TEST(FilterExpr, TaskPatternsComeFirstJoinedByBars) {
    struct Case {
        std::vector<std::string> task, program;
        std::string expr;
    };
    const Case cases[] = {
        {{"bak$", "^~"}, {"tmp$"}, "bak$|^~|tmp$"},
        {{}, {}, ""},
        {{"a", ""}, {}, "a|"}, // an empty pattern becomes an alternative that matches anything
        {{""}, {}, ""},        // a lone empty pattern leaves no expression at all
        {{}, {"x", "y"}, "x|y"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(BuildFilterExpr(c.task, c.program), c.expr);
    }
}

TEST(FilterRegex, SearchRules) {
    struct Case {
        const char* pattern;
        const char* name;
        bool matches;
    };
    const Case cases[] = {
        {"tmp", "mytmpfile.dat", true}, // anywhere in the name
        {"tmp", "TMP.dat", false},      // letter case counts
        {"^~", "a~.doc", false},
        {"doc$", "a.docx", false},
        {"a.b", "a\nb", true}, // "." takes a line break too
        {"^b", "a\nb", false}, // "^" only at the start of the whole name
        {"a$", "a\nb", false},
        {"txt$", "a.txt\n", false},          // "$" only at the very end, not before a final line break
        {"^.\\.txt$", "\xc3\xa9.txt", true}, // one character, two bytes
        {"txt$", "\xff\xfe.txt", true},      // stray bytes do not stop the search
    };
    for (const Case& c : cases) {
        TFilterRegex regex;
        ASSERT_TRUE(regex.Compile(c.pattern)) << c.pattern;
        EXPECT_EQ(regex.Matches(c.name), c.matches) << c.pattern << " on " << c.name;
    }
}

// What a user expects of the patterns and switches, each row on the same tree.
TEST(FilterWalk, PatternsAndSwitches) {
    struct Row {
        std::vector<std::string> include, exclude;
        int32_t emptyFolders, hidden, system;
        const char* path;
        TState state;
    };
    const Row rows[] = {
        {{}, {}, 0, 0, 0, "a.txt", kIncluded},
        {{}, {}, 0, 0, 0, "empty/", kIncluded},
        {{}, {}, 0, 0, 0, "docs/", kNone}, // a folder with items is judged item by item
        {{"doc$"}, {}, 0, 0, 0, "a.doc", kIncluded},
        {{"doc$"}, {}, 0, 0, 0, "a.txt", kExcluded},
        {{"doc$"}, {}, 0, 0, 0, "docs/inner.doc", kExcluded}, // an excluded folder takes its subtree along
        {{"doc$"}, {"^~"}, 0, 0, 0, "~a.doc", kExcluded},
        {{}, {"tmp"}, 0, 0, 0, "mytmpfile.dat", kExcluded},
        {{}, {"tmp"}, 0, 0, 0, "TMP.dat", kIncluded},
        {{"a", ""}, {}, 0, 0, 0, "sys.dat", kIncluded}, // "a|" matches every name
        {{}, {"^x"}, 0, 0, 0, "docs/", kNone},
        {{}, {"^x"}, 0, 0, 0, "docs/xb.txt", kExcluded},
        {{}, {"^x"}, 0, 0, 0, "docs/inner.doc", kIncluded},
        {{}, {"\\.bak$"}, 1, 0, 0, "empty/", kExcluded},
        {{}, {"\\.bak$"}, 1, 0, 0, "onlyExcluded/", kNone}, // it has children, so it is not empty
        {{}, {}, 0, 1, 0, ".hidden/", kExcluded},
        {{}, {}, 0, 1, 0, ".hidden/plain.txt", kExcluded},
        {{}, {}, 0, 1, 0, ".h.txt", kExcluded},
        {{}, {}, 0, 0, 0, ".h.txt", kIncluded},
        {{}, {}, 0, 1, 0, "both.txt", kIncluded},  // hidden only on the right: the left entry counts
        {{}, {}, 0, 1, 0, "right.txt", kExcluded}, // only on the right: its own entry
        {{}, {}, 0, 0, 1, "sys.dat", kExcluded},
        {{}, {}, 0, 1, 0, "sys.dat", kIncluded},
        {{}, {}, 1, 1, 1, "a.txt", kIncluded},
        {{}, {"^right"}, 0, 0, 0, "right.txt", kExcluded},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.path + std::string(" switches ") + std::to_string(r.emptyFolders) +
                     std::to_string(r.hidden) + std::to_string(r.system));
        TFilterRun run;
        run.Task.IncludeFilter = r.include;
        run.Task.ExcludeFilter = r.exclude;
        run.Task.ExcludeEmtpyFolder = r.emptyFolders;
        run.Task.ExcludeHiddenFile = r.hidden;
        run.Task.ExcludeSystemFile = r.system;
        for (const char* path : {"a.doc", "~a.doc", "a.txt", "docs/inner.doc", "docs/xb.txt", "mytmpfile.dat",
                                 "TMP.dat", "onlyExcluded/x.bak", ".hidden/plain.txt"}) {
            run.File(path);
        }
        run.Left.Folder("empty");
        run.Right.Folder("empty");
        run.Left.Folder(".hidden")->Data->Attr |= faHidden;
        run.Right.Folder(".hidden")->Data->Attr |= faHidden;
        run.File(".h.txt", faArchive | faHidden);
        run.File("sys.dat", faArchive | faSysFile);
        run.Left.File("both.txt", 100, 0, faArchive);
        run.Right.File("both.txt", 100, 0, faArchive | faHidden);
        run.Right.File("right.txt", 100, 0, faArchive | faHidden);
        run.Make().Execute();
        EXPECT_EQ(run.State(r.path), r.state);
        if (std::string(r.path) == "right.txt") { // the filters leave the proposal, not its counts
            EXPECT_EQ(FindNode(run.Result, "right.txt")->Action, saCopyRtoL);
            EXPECT_EQ(FindNode(run.Result, "right.txt")->NewFlag, r.state == kExcluded ? 0 : 1);
        }
    }
}

TEST(FilterWalk, TaskAndProgramWideListsBothCount) {
    TSysConfig config;
    TSysConfig* const previous = SysConfig;
    SysConfig = &config;
    config.ExcludeFilter = {"tmp$"};
    config.IncludeFilter = {"doc$"};
    TFilterRun run;
    run.Task.ExcludeFilter = {"bak$"};
    run.Task.IncludeFilter = {"txt$"};
    for (const char* name : {"a.doc", "b.txt", "c.bak", "d.tmp", "e.dat"}) {
        run.File(name);
    }
    run.Make().Execute();
    SysConfig = previous;
    const TState expected[] = {kIncluded, kIncluded, kExcluded, kExcluded, kExcluded};
    int i = 0;
    for (const char* name : {"a.doc", "b.txt", "c.bak", "d.tmp", "e.dat"}) {
        EXPECT_EQ(run.State(name), expected[i++]) << name;
    }
}

// A pattern that does not compile, alone or only joined with the others, and a
// search that gives up (each extra "a" doubles the ways "(a|aa)+" can split the
// name before "$" fails): the analysis ends through the thread's end handler,
// names the pattern, and lets no item through unjudged.
TEST(FilterError, ABadPatternEndsTheAnalysisAndNamesThePattern) {
    const std::string longName = std::string(60, 'a') + "!";
    struct Case {
        std::vector<std::string> exclude, include;
        std::string pattern, shown; // shown: what the message names
    };
    const Case cases[] = {
        {{"ok$", "*.tmp"}, {}, "*.tmp", "\"*.tmp\""},
        {{}, {"[unclosed"}, "[unclosed", "\"[unclosed\""},
        {{"(?<n>a)", "(?<n>b)"}, {}, "(?<n>a)|(?<n>b)", "(?<n>a)|(?<n>b)"}, // each line alone compiles
        {{"(a|aa)+$"}, {}, "(a|aa)+$", longName},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pattern);
        TFilterRun run;
        run.Task.ExcludeFilter = c.exclude;
        run.Task.IncludeFilter = c.include;
        run.Left.File("new.txt", 100);
        run.File(longName);
        TAnalyzeThread& thread = run.Make();
        thread.Start();
        thread.WaitFor();
        ASSERT_NE(thread.FatalException(), nullptr);
        EXPECT_NE(thread.FatalExceptionMessage().find(c.shown), std::string::npos)
            << thread.FatalExceptionMessage();
        EXPECT_EQ(thread.FilterPattern, c.pattern);
        EXPECT_FALSE(thread.FilterError.empty());
        EXPECT_EQ(FindNode(run.Result, "new.txt")->Action, saCopyLtoR); // the comparison was done
        EXPECT_NE(StateOf(FindNode(run.Result, longName)), kIncluded);
    }
    for (const char* pattern : {"*.tmp", "a(b", "[z-a]", "\xff"}) {
        TFilterRegex regex;
        EXPECT_FALSE(regex.Compile(pattern)) << pattern;
        EXPECT_FALSE(regex.ErrorMessage().empty()) << pattern;
    }
}
