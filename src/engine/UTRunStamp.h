#pragma once
// Which two snapshots belong together.
//
// Each side's snapshot is kept at its own place (that side's work folder, or
// this computer's application data), so the two snapshots found at a task's
// places may have been written by different runs: one from before the task's
// right folder was pointed elsewhere and back, or one left at a place the task
// stopped using for a while. Compared as a pair, such snapshots make files that
// differ look synchronised, or files that are there look deleted. So the run that
// writes both snapshots keeps a stamp of the pair, and of the place it wrote
// them to, beside the local snapshot files, and the analysis compares against
// snapshots only when they match it at the task's present place.
// The snapshot text form itself stays as it is.
//
// The stamp also says in which time zone the pair was written: snapshot times
// are local date-times, so a run in another zone (cron in the system's zone, a
// desktop session in the user's) reads every unchanged file as moved by the
// difference; the analysis undoes that difference (TZoneOffsets).

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

namespace tandemora {

class TFileTree;
class TSyncTask;

// A time zone as two UTC offsets (seconds east): those in force in January
// and in July of one year, which covers a zone with summer time as well.
struct TZoneOffsets {
    long January = 0;
    long July = 0;
    bool operator==(const TZoneOffsets& other) const {
        return January == other.January && July == other.July;
    }
    // This computer's zone now (the TZ variable, or the system's).
    static TZoneOffsets Now();
    // The date-time in this computer's zone of the instant that Then named in
    // this zone. The offset in force at Then is taken from its month (April to
    // September the July offset, October too where July is the summer offset);
    // only a date-time within days of a summer-time switch can come out a step off.
    int32_t MovedHere(int32_t Then) const;
};

class TRunStamp {
public:
    // The stamp of the two snapshot texts one run wrote.
    static std::string Of(const std::string& LeftText, const std::string& RightText);
    // The stamp of two snapshot texts given by their digests (DigestOf).
    static std::string OfDigests(const std::string& LeftDigest, const std::string& RightDigest);
    // The digest of one snapshot text, as the stamp names it.
    static std::string DigestOf(std::string_view Text);
    // The digest of the text Tree->SaveToStream(..., RootName) writes.
    static std::string DigestOf(const TFileTree* Tree, const std::string& RootName);
    // The stamp of two loaded snapshots: the text form reads back into a tree
    // that writes the very same text again, so this equals the stamp of the texts.
    static std::string Of(const TFileTree* Left, const TFileTree* Right);

    // The task's stamp; empty when there is none (or it cannot be read).
    static std::string Read(const TSyncTask& Task);
    // Replaces the task's stamp; false when it could not be written. Given the
    // trees the two snapshots were written from, it keeps their finer file
    // times beside the stamp too (LoadFineTimes).
    static bool Write(const TSyncTask& Task, const std::string& Stamp, const TFileTree* Left = nullptr,
                      const TFileTree* Right = nullptr);
    // No pair of snapshots belongs together any more.
    static void Remove(const TSyncTask& Task);
    // Whether these two loaded snapshots are the pair the task's stamp names
    // (in whatever zone they were written).
    static bool Matches(const TSyncTask& Task, const TFileTree* Left, const TFileTree* Right);
    // The zone the stamp's pair was written in; false when the stamp does not
    // say (none, or written before stamps said).
    static bool WrittenIn(const TSyncTask& Task, TZoneOffsets& Zone);

    // Gives the files of two loaded snapshots the finer times (TimeFraction)
    // kept when they were written, provided they are the pair the task's stamp
    // names and the kept times were written with that stamp; otherwise leaves
    // them as loaded. The snapshot text itself knows DOS times only.
    static void LoadFineTimes(const TSyncTask& Task, TFileTree* Left, TFileTree* Right);

    // The folders of a local side (relative paths: "" the root itself,
    // "photos", "a/photos") that were mount points when the stamp was last
    // written, or had been and have held no visible item since (a disk still not
    // mounted). Kept beside the stamp by Write; empty when unknown, or kept for
    // another folder of the side.
    static std::vector<std::string> MountedFolders(const TSyncTask& Task, int32_t Side);

    // Writes Text to Path through a private file beside it that is renamed over
    // it, so a failure leaves the old file whole. Mode 0600.
    static bool ReplaceLocalFile(const std::string& Path, const std::string& Text);
    // The same for a text that Write puts out piece by piece into the stream it
    // is given (a failure there may throw), so a large text is never held whole.
    // Digest, when given, receives the digest of everything written (DigestOf).
    static bool ReplaceLocalFile(const std::string& Path, const std::function<void(std::ostream&)>& Write,
                                 std::string* Digest = nullptr);
};

} // namespace tandemora
