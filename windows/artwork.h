// The program's pictures, drawn in code: the launcher's bands and globe, the four button
// pictures, the Stop button's red cross and the application icon. Call only after the
// application object exists (pixmaps need it); QImage variants work without a display.
#pragma once

#include <QIcon>
#include <QImage>
#include <QPixmap>

namespace nerlo::windows {

QPixmap TopBandPicture();     // light grey with a dark lower edge (stretched to 472 x 57)
QPixmap BottomBandPicture();  // grey (stretched to 472 x 19)
QPixmap BlackPicture();       // plain black
QPixmap GlobePicture();       // 128 x 128

QPixmap ScanPicture();      // 22 x 22 magnifying glass
QPixmap UpdatePicture();    // 22 x 22 satellite dish
QPixmap HelpPicture();      // 22 x 22 face
QPixmap SettingsPicture();  // 22 x 22 metal ring
}  // namespace nerlo::windows

namespace nerlo::windows {
QPixmap StopPicture();  // 22 x 22 red cross

// The application icon at size x size pixels: the globe under a magnifying glass.
QImage IconImage(int size);
QIcon ApplicationIcon();
}  // namespace nerlo::windows
