// The filter stage: how the pattern lists become expressions, how names match,
// the attribute switches, the walk's rules for folders, and a pattern that does
// not compile.

#include "engine/TreeBuilder.h"
#include "engine/UTAnalyzeThread.h"
#include "engine/UTFilters.h"
#include "tasks/UTSysConfig.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using namespace tandemora;
using enginetest::FindNode;
using enginetest::TTreeBuilder;

namespace {

enum TState { kNone, kIncluded, kExcluded };

TState StateOf(const TFileTree* node) {
    if (node->IncludedFlag == 1 && node->ExcludedFlag == 0) {
        return kIncluded;
    }
    if (node->ExcludedFlag == 1 && node->IncludedFlag == 0) {
        return kExcluded;
    }
    return node->IncludedFlag == 0 && node->ExcludedFlag == 0 ? kNone : static_cast<TState>(-1);
}

// Points the program-wide options at an object of the test's own.
class ScopedSysConfig {
public:
    ScopedSysConfig() : previous_(SysConfig) { SysConfig = &config; }
    ~ScopedSysConfig() { SysConfig = previous_; }
    TSysConfig config;

private:
    TSysConfig* previous_;
};

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
    void Folder(const std::string& path, int32_t attr = faDirectory) {
        Left.Folder(path, attr);
        Right.Folder(path, attr);
    }
    TAnalyzeThread& Make() {
        Thread = std::make_unique<TAnalyzeThread>(&Task, Left.Root, Right.Root, Result, NoSnapshot.Root,
                                                  NoSnapshot2.Root);
        return *Thread;
    }
    void Analyze() { Make().Execute(); }
    TState State(const std::string& path) const {
        const TFileTree* node = FindNode(Result, path);
        EXPECT_NE(node, nullptr) << path;
        return node == nullptr ? static_cast<TState>(-2) : StateOf(node);
    }
};

} // namespace

// ---- Building the expressions -------------------------------------------------------------

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
        {{"a|b"}, {"c"}, "a|b|c"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(BuildFilterExpr(c.task, c.program), c.expr);
    }
}

TEST(FilterExpr, ExecuteBuildsBothFromTaskAndProgramLists) {
    ScopedSysConfig options;
    options.config.ExcludeFilter = {"tmp$"};
    options.config.IncludeFilter = {"doc$"};
    TFilterRun run;
    run.Task.ExcludeFilter = {"bak$", "^~"};
    run.Task.IncludeFilter = {"txt$"};
    run.File("a.doc");
    run.File("b.txt");
    run.File("c.bak");
    run.File("d.tmp");
    run.File("e.dat");
    run.Analyze();
    EXPECT_EQ(run.Thread->ExcludeExpr, "bak$|^~|tmp$");
    EXPECT_EQ(run.Thread->IncludeExpr, "txt$|doc$");
    EXPECT_EQ(run.State("a.doc"), kIncluded);
    EXPECT_EQ(run.State("b.txt"), kIncluded);
    EXPECT_EQ(run.State("c.bak"), kExcluded);
    EXPECT_EQ(run.State("d.tmp"), kExcluded);
    EXPECT_EQ(run.State("e.dat"), kExcluded);
}

// ---- Matching ------------------------------------------------------------------------------

TEST(FilterRegex, SearchRules) {
    struct Case {
        const char* pattern;
        const char* name;
        bool matches;
    };
    const Case cases[] = {
        {"tmp", "mytmpfile.dat", true}, // anywhere in the name
        {"tmp", "TMP.dat", false},      // letter case counts
        {"^~", "~a.doc", true},
        {"^~", "a~.doc", false},
        {"doc$", "a.doc", true},
        {"doc$", "a.docx", false},
        {"a.b", "a\nb", true}, // "." takes a line break too
        {"^b", "a\nb", false}, // "^" only at the start of the whole name
        {"a$", "a\nb", false},
        {"txt$", "a.txt\n", false},          // "$" only at the very end, not before a final line break
        {"^.\\.txt$", "\xc3\xa9.txt", true}, // one character, two bytes
        {"x+", "axxxb", true},
        {"txt$", "\xff\xfe.txt", true}, // stray bytes do not stop the search
        {"a|", "zzz", true},
    };
    for (const Case& c : cases) {
        TFilterRegex regex;
        ASSERT_TRUE(regex.Compile(c.pattern)) << c.pattern;
        EXPECT_EQ(regex.Matches(c.name), c.matches) << c.pattern << " on " << c.name;
    }
}

TEST(FilterRegex, InvalidPatternsReportPcreMessage) {
    for (const char* pattern : {"*.tmp", "a(b", "[z-a]", "\xff"}) {
        TFilterRegex regex;
        EXPECT_FALSE(regex.Compile(pattern)) << pattern;
        EXPECT_FALSE(regex.ErrorMessage().empty()) << pattern;
        EXPECT_FALSE(regex.Compiled());
    }
}

// ---- The design's examples through a whole analysis ------------------------------------------

TEST(FilterWalk, NoPatternsNoSwitches) {
    TFilterRun run;
    run.File("a.txt");
    run.Folder("empty");
    run.File("full/b.txt");
    run.Analyze();
    EXPECT_EQ(run.State("a.txt"), kIncluded);
    EXPECT_EQ(run.State("empty/"), kIncluded);
    EXPECT_EQ(run.State("full/"), kNone);
    EXPECT_EQ(run.State("full/b.txt"), kIncluded);
}

TEST(FilterWalk, IncludeAndExcludePatterns) {
    struct Case {
        std::vector<std::string> include, exclude;
        const char* path;
        TState state;
    };
    const Case cases[] = {
        {{"doc$"}, {}, "a.doc", kIncluded},
        {{"doc$"}, {}, "a.txt", kExcluded},
        {{"doc$"}, {}, "docs/", kExcluded},
        {{"doc$"}, {}, "docs/inner.doc", kExcluded}, // an excluded folder takes its subtree along
        {{"doc$"}, {"^~"}, "a.doc", kIncluded},
        {{"doc$"}, {"^~"}, "~a.doc", kExcluded},
        {{"doc$"}, {"^~"}, "a.txt", kExcluded},
        {{}, {"tmp"}, "mytmpfile.dat", kExcluded},
        {{}, {"tmp"}, "TMP.dat", kIncluded},
        {{"a", ""}, {}, "zzz.bin", kIncluded}, // "a|" matches every name
        {{}, {"^sub$"}, "sub/", kExcluded},
        {{}, {"^sub$"}, "sub/keep.txt", kExcluded},
        {{"txt$"}, {}, "keep.txt", kIncluded},
    };
    for (const Case& c : cases) {
        TFilterRun run;
        run.Task.IncludeFilter = c.include;
        run.Task.ExcludeFilter = c.exclude;
        for (const char* path : {"a.doc", "~a.doc", "a.txt", "docs/inner.doc", "mytmpfile.dat", "TMP.dat",
                                 "zzz.bin", "sub/keep.txt", "keep.txt"}) {
            run.File(path);
        }
        run.Analyze();
        EXPECT_EQ(run.State(c.path), c.state) << c.path;
    }
}

TEST(FilterWalk, IncludedFolderLetsEachItemBelowBeJudgedByItsOwnName) {
    TFilterRun run;
    run.Task.ExcludeFilter = {"^x"};
    run.File("dir/a.txt");
    run.File("dir/xb.txt");
    run.File("dir/deeper/xc.txt");
    run.Analyze();
    EXPECT_EQ(run.State("dir/"), kNone);
    EXPECT_EQ(run.State("dir/a.txt"), kIncluded);
    EXPECT_EQ(run.State("dir/xb.txt"), kExcluded);
    EXPECT_EQ(run.State("dir/deeper/"), kNone);
    EXPECT_EQ(run.State("dir/deeper/xc.txt"), kExcluded);
}

TEST(FilterWalk, AttributeSwitches) {
    struct Case {
        int32_t emptyFolders, hidden, system;
        const char* path;
        TState state;
    };
    const Case cases[] = {
        {1, 0, 0, "empty/", kExcluded},
        {1, 0, 0, "onlyExcluded/", kNone}, // it has children, so it is not empty
        {0, 0, 0, "empty/", kIncluded},
        {0, 1, 0, ".hidden/", kExcluded},
        {0, 1, 0, ".hidden/plain.txt", kExcluded},
        {0, 1, 0, ".h.txt", kExcluded},
        {0, 0, 0, ".h.txt", kIncluded},
        {0, 0, 1, "sys.dat", kExcluded},
        {0, 0, 0, "sys.dat", kIncluded},
        {0, 1, 0, "sys.dat", kIncluded},
        {1, 1, 1, "plain.txt", kIncluded},
    };
    for (const Case& c : cases) {
        TFilterRun run;
        run.Task.ExcludeEmtpyFolder = c.emptyFolders;
        run.Task.ExcludeHiddenFile = c.hidden;
        run.Task.ExcludeSystemFile = c.system;
        run.Task.ExcludeFilter = {"\\.bak$"};
        run.Folder("empty");
        run.File("onlyExcluded/x.bak");
        run.Folder(".hidden", faDirectory | faHidden);
        run.File(".hidden/plain.txt");
        run.File(".h.txt", faArchive | faHidden);
        run.File("sys.dat", faArchive | faSysFile);
        run.File("plain.txt");
        run.Analyze();
        EXPECT_EQ(run.State(c.path), c.state)
            << c.path << " switches " << c.emptyFolders << c.hidden << c.system;
    }
}

TEST(FilterWalk, AttributesOfTheItemsOwnEntryCount) {
    // Found on both sides: the left entry's attributes; only on the right: the right's.
    TFilterRun run;
    run.Task.ExcludeHiddenFile = 1;
    run.Left.File("both.txt", 100, 0, faArchive);
    run.Right.File("both.txt", 100, 0, faArchive | faHidden);
    run.Right.File("right.txt", 100, 0, faArchive | faHidden);
    run.Analyze();
    EXPECT_EQ(run.State("both.txt"), kIncluded);
    EXPECT_EQ(run.State("right.txt"), kExcluded);
}

TEST(FilterWalk, FilterStateLeavesActionCodes) {
    TFilterRun run;
    run.Task.ExcludeFilter = {"^new"};
    run.Left.File("new.txt", 100);
    run.Analyze();
    const TFileTree* node = FindNode(run.Result, "new.txt");
    EXPECT_EQ(node->Action, saCopyLtoR);
    EXPECT_EQ(StateOf(node), kExcluded);
    EXPECT_EQ(node->NewFlag, 0); // an excluded item leaves the counts of its code
}

TEST(FilterWalk, EmptyTreesWithEverySwitchClassifyTheRootByName) {
    TFilterRun run;
    run.Task.ExcludeEmtpyFolder = 1;
    run.Task.ExcludeHiddenFile = 1;
    run.Task.ExcludeSystemFile = 1;
    run.Analyze();
    EXPECT_EQ(StateOf(run.Result), kIncluded);
    EXPECT_TRUE(run.Thread->FilterError.empty());
}

// ---- A pattern that does not compile ----------------------------------------------------------

TEST(FilterError, InvalidPatternEndsTheAnalysisAndNamesThePattern) {
    struct Case {
        std::vector<std::string> taskExclude, programInclude;
        std::string pattern;
    };
    const Case cases[] = {
        {{"ok$", "*.tmp"}, {}, "*.tmp"},
        {{}, {"[unclosed"}, "[unclosed"},
    };
    for (const Case& c : cases) {
        ScopedSysConfig options;
        options.config.IncludeFilter = c.programInclude;
        TFilterRun run;
        run.Task.ExcludeFilter = c.taskExclude;
        run.Left.File("new.txt", 100);
        run.File("same.txt");
        TAnalyzeThread& thread = run.Make();
        EXPECT_THROW(thread.Execute(), EFilterError);
        EXPECT_EQ(thread.FilterPattern, c.pattern);
        EXPECT_FALSE(thread.FilterError.empty());
        // The comparison was done; the filter stage stamped nothing.
        EXPECT_EQ(FindNode(run.Result, "new.txt")->Action, saCopyLtoR);
        EXPECT_EQ(StateOf(FindNode(run.Result, "new.txt")), kNone);
        EXPECT_EQ(StateOf(FindNode(run.Result, "same.txt")), kNone);
    }
}

TEST(FilterError, PatternsThatFailOnlyTogetherNameTheWholeExpression) {
    // Each line alone compiles; joined, the two groups share one name.
    TFilterRun run;
    run.Task.ExcludeFilter = {"(?<n>a)", "(?<n>b)"};
    run.File("x");
    TAnalyzeThread& thread = run.Make();
    EXPECT_THROW(thread.Execute(), EFilterError);
    EXPECT_EQ(thread.FilterPattern, "(?<n>a)|(?<n>b)");
    EXPECT_FALSE(thread.FilterError.empty());
}

TEST(FilterError, ASearchThatGivesUpEndsTheAnalysisInsteadOfLettingTheItemThrough) {
    // Each extra "a" doubles the ways "(a|aa)+" can split the name before "$"
    // fails on the "!": PCRE2 stops at its match limit without an answer.
    const std::string name = std::string(60, 'a') + "!";
    TFilterRegex regex;
    ASSERT_TRUE(regex.Compile("(a|aa)+$"));
    EXPECT_FALSE(regex.Matches("b.txt"));
    EXPECT_THROW(regex.Matches(name), EFilterError);

    TFilterRun run;
    run.Task.ExcludeFilter = {"(a|aa)+$"};
    run.File("b.txt");
    run.Left.File(name, 100);
    TAnalyzeThread& thread = run.Make();
    EXPECT_THROW(thread.Execute(), EFilterError);
    EXPECT_EQ(thread.FilterPattern, "(a|aa)+$");
    EXPECT_NE(thread.FilterError.find(name), std::string::npos) << thread.FilterError;
    EXPECT_NE(StateOf(FindNode(run.Result, name)), kIncluded);
}

TEST(FilterError, ReachesTheEndHandlerThroughTheThread) {
    TFilterRun run;
    run.Task.IncludeFilter = {"*"};
    run.File("x");
    TAnalyzeThread& thread = run.Make();
    thread.Start();
    thread.WaitFor();
    ASSERT_NE(thread.FatalException(), nullptr);
    EXPECT_NE(thread.FatalExceptionMessage().find("\"*\""), std::string::npos);
    EXPECT_EQ(thread.FilterPattern, "*");
}
