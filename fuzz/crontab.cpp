// Scheduled runs in the crontab, which the user (and other programs) edit too.
// A work item built from the input that can be written reads back as the same
// item; a line that reads as one of ours writes and reads back the same item;
// saving an item into a table of the input's lines keeps every other line and
// leaves exactly one line of that name.

#include "FuzzSupport.h"

#include "platform/Scheduler.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <vector>

using namespace tandemora;

namespace {

TWorkItem ConsumeItem(FuzzedDataProvider& input) {
    TWorkItem item;
    item.Name = input.ConsumeRandomLengthString(60);
    item.ApplicationName = input.ConsumeRandomLengthString(60);
    item.WorkingDirectory = input.ConsumeRandomLengthString(60);
    item.Parameters = input.ConsumeRandomLengthString(60);
    TTaskTrigger& t = item.Trigger;
    // A little past each valid range, so that the edges are tried too.
    t.TriggerType = input.ConsumeIntegralInRange<uint16_t>(0, 4);
    t.wBeginYear = input.ConsumeIntegralInRange<uint16_t>(1960, 10010);
    t.wBeginMonth = input.ConsumeIntegralInRange<uint16_t>(0, 13);
    t.wBeginDay = input.ConsumeIntegralInRange<uint16_t>(0, 32);
    t.wStartHour = input.ConsumeIntegralInRange<uint16_t>(0, 24);
    t.wStartMinute = input.ConsumeIntegralInRange<uint16_t>(0, 60);
    t.DaysInterval = input.ConsumeIntegral<uint16_t>();
    t.WeeksInterval = input.ConsumeIntegral<uint16_t>();
    t.rgfDaysOfTheWeek = input.ConsumeIntegral<uint16_t>();
    t.rgfDays = input.ConsumeIntegral<uint32_t>();
    t.rgfMonths = input.ConsumeIntegral<uint16_t>();
    return item;
}

std::string Describe(const TWorkItem& item) {
    const TTaskTrigger& t = item.Trigger;
    std::string out = "Name=" + item.Name + "\nApplicationName=" + item.ApplicationName +
                      "\nWorkingDirectory=" + item.WorkingDirectory + "\nParameters=" + item.Parameters +
                      "\nReadable=" + std::to_string(item.Readable) + "\n";
    for (const uint32_t value :
         {uint32_t(t.TriggerType), uint32_t(t.wBeginYear), uint32_t(t.wBeginMonth), uint32_t(t.wBeginDay),
          uint32_t(t.wStartHour), uint32_t(t.wStartMinute), uint32_t(t.DaysInterval),
          uint32_t(t.WeeksInterval), uint32_t(t.rgfDaysOfTheWeek), t.rgfDays, uint32_t(t.rgfMonths)}) {
        out += std::to_string(value) + " ";
    }
    return out + "\n";
}

// The item as its line keeps it: the trigger fields its kind uses, the others
// as a fresh trigger has them.
TWorkItem Kept(const TWorkItem& item) {
    TWorkItem kept = item;
    const TTaskTrigger& t = item.Trigger;
    TTaskTrigger& k = kept.Trigger;
    k = TTaskTrigger();
    k.TriggerType = t.TriggerType;
    k.wStartHour = t.wStartHour;
    k.wStartMinute = t.wStartMinute;
    const bool dated = t.TriggerType == TASK_TIME_TRIGGER_ONCE ||
                       (t.TriggerType == TASK_TIME_TRIGGER_DAILY && t.DaysInterval > 1) ||
                       (t.TriggerType == TASK_TIME_TRIGGER_WEEKLY && t.WeeksInterval > 1);
    if (dated) {
        k.wBeginYear = t.wBeginYear;
        k.wBeginMonth = t.wBeginMonth;
        k.wBeginDay = t.wBeginDay;
    }
    if (t.TriggerType == TASK_TIME_TRIGGER_DAILY) {
        k.DaysInterval = t.DaysInterval;
    } else if (t.TriggerType == TASK_TIME_TRIGGER_WEEKLY) {
        k.WeeksInterval = t.WeeksInterval;
        k.rgfDaysOfTheWeek = t.rgfDaysOfTheWeek & 0x7F;
    } else if (t.TriggerType == TASK_TIME_TRIGGER_MONTHLYDATE) {
        k.rgfDays = t.rgfDays & 0x7FFFFFFF;
        k.rgfMonths = t.rgfMonths & 0xFFF;
    }
    return kept;
}

// Writes the item and reads its line back: the same item, as its line keeps it.
void CheckWrittenItem(const TWorkItem& item) {
    std::string error;
    const std::string line = TScheduler::CronLine(item, error);
    if (line.empty()) {
        fuzzsupport::Expect(!error.empty(), "an item is refused without a reason", Describe(item));
        return;
    }
    fuzzsupport::Expect(line.find_first_of("\r\n") == std::string::npos, "a crontab line holds a line break",
                        line);
    TWorkItem back;
    fuzzsupport::Expect(TScheduler::ParseCronLine(line, back), "a written line is not read as ours", line);
    const std::string want = Describe(Kept(item));
    const std::string got = Describe(back);
    fuzzsupport::Expect(want == got, "a written item reads back changed",
                        want + "---- became ----\n" + got + "---- line ----\n" + line);
}

void CheckReadLine(const std::string& line) {
    TWorkItem item;
    if (!TScheduler::ParseCronLine(line, item) || !item.Readable) {
        return;
    }
    std::string error;
    const std::string written = TScheduler::CronLine(item, error);
    if (written.empty()) {
        return;
    }
    TWorkItem back;
    fuzzsupport::Expect(TScheduler::ParseCronLine(written, back) && Describe(back) == Describe(item),
                        "a line read as ours does not write back to the same item",
                        line + "\n---- written as ----\n" + written);
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        const size_t next = end == std::string::npos ? text.size() : end + 1;
        lines.push_back(text.substr(start, next - start));
        start = next;
    }
    return lines;
}

bool IsItemLine(const std::string& line, const std::string& name) {
    TWorkItem item;
    return TScheduler::ParseCronLine(line, item) && item.Name == name;
}

// Every line without one of ours named Name, without its line break.
std::vector<std::string> OtherLines(const std::string& text, const std::string& name) {
    std::vector<std::string> others;
    for (std::string line : Lines(text)) {
        if (!IsItemLine(line, name)) {
            if (!line.empty() && line.back() == '\n') {
                line.pop_back();
            }
            others.push_back(line);
        }
    }
    return others;
}

void CheckSavedItem(const TWorkItem& item, const std::string& table) {
    const std::string path = fuzzsupport::ScratchFolder() + "/crontab";
    fuzzsupport::WriteFile(path, table);
    const TScheduler scheduler(path);
    std::string error;
    if (!scheduler.SaveWorkItem(item, error)) {
        fuzzsupport::Expect(fuzzsupport::ReadFile(path) == table, "a refused item changed the crontab",
                            error);
        return;
    }
    const std::string saved = fuzzsupport::ReadFile(path);
    size_t ours = 0;
    for (const std::string& line : Lines(saved)) {
        ours += IsItemLine(line, item.Name) ? 1 : 0;
    }
    fuzzsupport::Expect(ours == 1, "a saved item does not stand on exactly one line", saved);
    fuzzsupport::Expect(OtherLines(saved, item.Name) == OtherLines(table, item.Name),
                        "saving an item changed other lines of the crontab",
                        table + "---- became ----\n" + saved);
    TWorkItem found;
    fuzzsupport::Expect(scheduler.FindWorkItem(item.Name, found, error) &&
                            Describe(found) == Describe(Kept(item)),
                        "a saved item is not found as saved", saved);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    const TWorkItem item = ConsumeItem(input);
    const std::string line = input.ConsumeRandomLengthString(400);
    const std::string table = input.ConsumeRemainingBytesAsString();
    CheckWrittenItem(item);
    CheckReadLine(line);
    CheckSavedItem(item, table);
    return 0;
}
