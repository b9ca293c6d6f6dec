// Copies between two local folders are written on several threads beside the
// walk and committed batch by batch. What happens to one copy (a cancel, a
// target saved meanwhile, a failed write) is placed exactly through the local
// endpoint's copy observer, whatever the other threads do meanwhile.

#include "SyncTestSupport.h"
#include "platform/Exceptions.h"

#include <functional>
#include <string>
#include <vector>

using namespace synctest;

namespace {

using TStage = TWinFileOper::TCopyStage;

// A sync thread whose local endpoints call Observe at each stage of each copy,
// on the thread doing it. Observe may cancel the run or fail the copy (Fail:
// its next chunk raises, as a disk that went away does).
class TObservedThread : public TTandemoraThread {
public:
    using TObserver = std::function<void(TObservedThread&, TStage, const std::string& target)>;
    TObservedThread(TResultRows* rows, TSyncTask* task, TObserver observe)
        : TTandemoraThread(rows, task), observe_(std::move(observe)) {}
    ~TObservedThread() override {
        Terminate();
        WaitFor();
    }
    // Fails the copy the calling thread is about to write.
    static void Fail() { failNext_ = true; }

protected:
    std::unique_ptr<TFileOper> CreateOper(const TFolderSource&) override {
        auto oper = std::make_unique<TOper>();
        oper->CopyObserver = [this](TStage stage, const std::string& target) {
            observe_(*this, stage, target);
        };
        return oper;
    }

private:
    class TOper : public TWinFileOper {
    public:
        TOper() : TWinFileOper(false) {}

    protected:
        void ChunkWritten(int64_t) override {
            if (std::exchange(failNext_, false)) {
                throw EInOutError("disk gone");
            }
        }
    };

    TObserver observe_;
    static thread_local bool failNext_;
};

thread_local bool TObservedThread::failNext_ = false;

class CopyWorkersTest : public SyncFixture {
protected:
    // Five folders of four files each, so that every copy thread has folders.
    void PutTree() {
        for (int d = 0; d < 5; ++d) {
            for (int f = 0; f < 4; ++f) {
                const std::string rel = Rel(d, f);
                Put(L, rel, "bytes of " + rel, kOld);
                all.push_back(rel);
            }
        }
    }
    static std::string Rel(int d, int f) { return "d" + std::to_string(d) + "/f" + std::to_string(f); }
    void SyncObserved(TObservedThread::TObserver observe) {
        Sync(new TObservedThread(&rows, &task, std::move(observe)));
    }
    // Every row is done exactly when its file is on the right with the left's
    // bytes, and every done file has its line; nothing half-written is left.
    void ExpectDoneMatchesDisk() {
        for (const std::string& rel : all) {
            SCOPED_TRACE(rel);
            const bool done = Code("/" + rel) == saSame;
            EXPECT_EQ(done, Has(R, rel));
            EXPECT_EQ(done, std::count(lines.begin(), lines.end(), CopyLine(L, R, rel)) == 1);
            if (done) {
                EXPECT_EQ(Read(R, rel), Read(L, rel));
            }
        }
        EXPECT_TRUE(pairtest::Leftovers(R).empty()) << testing::PrintToString(pairtest::Leftovers(R));
    }
    // The next run proposes exactly the copies not done, does them, and the
    // run after it proposes nothing.
    void ExpectRerunFinishes() {
        Analyze();
        int left = 0;
        for (const std::string& rel : all) {
            const bool there = Has(R, rel);
            EXPECT_EQ(Code("/" + rel), there ? -100 : saCopyLtoR) << rel;
            left += there ? 0 : 1;
        }
        EXPECT_EQ(Changes(), left);
        Sync();
        for (const std::string& rel : all) {
            EXPECT_EQ(Read(R, rel), Read(L, rel)) << rel;
        }
        Analyze();
        EXPECT_EQ(Changes(), 0);
    }

    std::vector<std::string> all;
};

// A cancel while a batch is written on several threads: the copies that had
// begun end and are reported, those that had not stay undone without a line,
// and the folders they are in are not reported done.
TEST_F(CopyWorkersTest, CancelMidBatchReportsOnlyWhatIsOnDisk) {
    PutTree();
    Analyze();
    const std::string cancelAt = R + "/" + Rel(3, 2);
    SyncObserved([&](TObservedThread& thread, TStage stage, const std::string& target) {
        if (stage == TWinFileOper::csBegin && target == cancelAt) {
            thread.Terminate();
        }
    });
    EXPECT_FALSE(Has(R, Rel(3, 2))); // the copy the cancel came before
    EXPECT_EQ(Code("/d3"), saCopyLtoR);
    ExpectDoneMatchesDisk();
    EXPECT_EQ(lines.back(), "Operator File :" + std::to_string(lines.size() - 1));
    ExpectRerunFinishes();
}

// One copy fails while copies of other folders go on beside it: only that
// one reports an error, with its reason, in the walk's order with the others.
TEST_F(CopyWorkersTest, OneCopyFailsAloneWhileTheOthersTakeTheirNames) {
    struct Case {
        const char* name;
        TStage stage;
        std::function<void(const std::string& target)> act;
        const char* why;
        const char* after; // the failed file's bytes on the right afterwards, or null for none
    };
    const auto save = [](const std::string& target) {
        testsupport::WriteFile(target, "saved meanwhile");
        SetTime(target, kNewer);
    };
    const Case cases[] = {
        {"write fails", TWinFileOper::csBegin, [](const std::string&) { TObservedThread::Fail(); },
         "disk gone", nullptr},
        {"target saved before the copy began", TWinFileOper::csBegin, save,
         "the target changed after the analysis", "saved meanwhile"},
        {"target saved before the rename", TWinFileOper::csBeforeRename, save,
         "the target changed after the analysis", "saved meanwhile"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::TempDir folders;
        UseFolders(folders);
        all.clear();
        PutTree();
        Analyze();
        const std::string failing = Rel(1, 2);
        SyncObserved([&](TObservedThread&, TStage stage, const std::string& target) {
            if (stage == c.stage && target == R + "/" + failing) {
                c.act(target);
            }
        });
        std::vector<std::string> expected;
        for (const std::string& rel : all) {
            expected.push_back(rel == failing ? "Error " + CopyLine(L, R, rel) + " (" + c.why + ")"
                                              : CopyLine(L, R, rel));
        }
        expected.push_back("Operator File :" + std::to_string(all.size()));
        EXPECT_EQ(lines, expected);
        EXPECT_EQ(Code("/" + failing), saError);
        if (c.after == nullptr) {
            EXPECT_FALSE(Has(R, failing));
            all.erase(std::find(all.begin(), all.end(), failing));
            ExpectDoneMatchesDisk();
            all.push_back(failing);
            ExpectRerunFinishes();
        } else {
            EXPECT_EQ(Read(R, failing), c.after);
            EXPECT_TRUE(pairtest::Leftovers(R).empty());
        }
    }
}

} // namespace
