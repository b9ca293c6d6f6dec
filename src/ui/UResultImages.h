#pragma once
// The images of the result view: thirteen fixed ones (drawn here, for a light or a
// dark palette) followed by the icons of file extensions as rows ask for them.
//
// Extension icons come from the MIME database and the icon theme. Each one is
// looked up at most once per analysis: a found icon is kept (its image index is
// 13 + its place in ExtList), a missing one is noted in NoIconExts. The list never
// holds more than 50 images, so at most 37 extension icons are loaded per
// analysis; later extensions get the plain file image.

#include <QIcon>
#include <QList>
#include <cstdint>
#include <string>
#include <vector>

namespace tandemora {

// The fixed images (5, 6 and 7 are named with the rows: iiFolder, iiNoIcon, iiRoot).
enum : int32_t {
    iiItem = 0,        // a plain item mark
    iiSame = 1,        // both sides alike, or done
    iiRtoL = 2,        // copy from right to left
    iiLtoR = 3,        // copy from left to right
    iiFolderItems = 4, // a folder whose items carry their own actions
    iiDoNotCopy = 8,   // skipped
    iiConflict = 9,    // changed on both sides
    iiDeleteLeft = 10, // deleted on the left
    iiDeleteRight = 11,
    iiError = 12, // failed
};

class TResultImages {
public:
    static constexpr int kFixedImages = 13;
    static constexpr int kMaxImages = 50;

    TResultImages();

    // Draws the fixed images for a dark or a light palette; extension icons stay.
    void DrawFixedImages(bool dark);
    bool DarkImages() const { return dark_; }

    // The image of a file extension (".txt", the dot included); see above.
    int32_t GetExtImageIndex(const std::string& ext);
    // Back to the fixed images, with both extension caches empty (every analysis).
    void ResetExtCache();

    int Count() const { return static_cast<int>(ImageList1.size()); }
    // The image at index; a null icon outside the list.
    const QIcon& Icon(int index) const;

    // The icon of an extension from the MIME database and the icon theme; a null
    // icon when the extension names no known type or the theme has no icon for it.
    static QIcon GetExtensionIcon(const std::string& ext);

    QList<QIcon> ImageList1;
    // Extensions in the order their icons were added.
    std::vector<std::string> ExtList;
    // Extensions without an icon, each preceded by ",".
    std::string NoIconExts;

private:
    bool dark_ = false;
    QIcon none_;
};

} // namespace tandemora
