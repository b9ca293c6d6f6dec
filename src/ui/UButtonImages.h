#pragma once
// The images of the task window's buttons, drawn here rather than shipped as
// files: the direction images of the task options button (iml_button) and the
// glyphs of Analyze, Sync and cancel. Each is drawn at one and at two times its
// size, so it stays sharp on a high-density screen.

#include <QIcon>
#include <QList>
#include <QSize>

namespace tandemora {

class TButtonImages {
public:
    TButtonImages();

    // The task options button shows image 1, 2 or 3 for the directions both ways,
    // left to right and right to left (image 0 is not used).
    QList<QIcon> iml_button;
    static constexpr QSize kDirectionSize{24, 16};

    static QIcon AnalyzeGlyph();
    // Drawn on white, with white as its transparent colour.
    static QIcon SyncGlyph();
    static QIcon CancelGlyph();
};

} // namespace tandemora
