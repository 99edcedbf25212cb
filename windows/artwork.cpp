#include "windows/artwork.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <cmath>

namespace nerlo::windows {

namespace {

QImage Blank(int w, int h) {
  QImage image(w, h, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  return image;
}

void DrawGlobe(QPainter& p, const QRectF& r) {
  p.setRenderHint(QPainter::Antialiasing);
  QRadialGradient sea(r.center() - QPointF(r.width() * 0.18, r.height() * 0.18), r.width() * 0.62);
  sea.setColorAt(0, QColor(120, 190, 255));
  sea.setColorAt(0.55, QColor(30, 100, 200));
  sea.setColorAt(1, QColor(5, 25, 80));
  p.setPen(Qt::NoPen);
  p.setBrush(sea);
  p.drawEllipse(r);

  // Land masses, clipped to the sphere.
  QPainterPath sphere;
  sphere.addEllipse(r);
  p.save();
  p.setClipPath(sphere);
  const auto at = [&](double x, double y) {
    return QPointF(r.left() + x * r.width(), r.top() + y * r.height());
  };
  QRadialGradient land(at(0.35, 0.3), r.width() * 0.7);
  land.setColorAt(0, QColor(140, 210, 110));
  land.setColorAt(1, QColor(30, 100, 40));
  p.setBrush(land);
  QPainterPath a;
  a.moveTo(at(0.18, 0.30));
  a.cubicTo(at(0.30, 0.12), at(0.52, 0.16), at(0.50, 0.30));
  a.cubicTo(at(0.48, 0.42), at(0.36, 0.40), at(0.40, 0.55));
  a.cubicTo(at(0.43, 0.70), at(0.30, 0.80), at(0.26, 0.64));
  a.cubicTo(at(0.22, 0.52), at(0.08, 0.46), at(0.18, 0.30));
  p.drawPath(a);
  QPainterPath b;
  b.moveTo(at(0.60, 0.22));
  b.cubicTo(at(0.78, 0.18), at(0.95, 0.32), at(0.86, 0.44));
  b.cubicTo(at(0.78, 0.54), at(0.70, 0.46), at(0.66, 0.58));
  b.cubicTo(at(0.62, 0.72), at(0.80, 0.80), at(0.68, 0.88));
  b.cubicTo(at(0.58, 0.92), at(0.54, 0.70), at(0.58, 0.56));
  b.cubicTo(at(0.60, 0.44), at(0.50, 0.30), at(0.60, 0.22));
  p.drawPath(b);

  // Meridians and parallels.
  p.setBrush(Qt::NoBrush);
  p.setPen(QPen(QColor(255, 255, 255, 70), r.width() / 128.0));
  for (double f : {0.38, 0.74}) {
    const double w = r.width() * f;
    p.drawEllipse(QRectF(r.center().x() - w / 2, r.top(), w, r.height()));
  }
  p.drawLine(QPointF(r.center().x(), r.top()), QPointF(r.center().x(), r.bottom()));
  for (double f : {0.2, 0.35, 0.5, 0.65, 0.8}) {
    const double y = r.top() + f * r.height();
    const double half = std::sqrt(std::max(0.0, 0.25 - (f - 0.5) * (f - 0.5))) * r.width();
    p.drawLine(QPointF(r.center().x() - half, y), QPointF(r.center().x() + half, y));
  }
  p.restore();

  // A highlight and a rim.
  QRadialGradient shine(at(0.32, 0.28), r.width() * 0.3);
  shine.setColorAt(0, QColor(255, 255, 255, 120));
  shine.setColorAt(1, QColor(255, 255, 255, 0));
  p.setPen(Qt::NoPen);
  p.setBrush(shine);
  p.drawEllipse(r);
  p.setBrush(Qt::NoBrush);
  p.setPen(QPen(QColor(0, 20, 60), r.width() / 64.0));
  p.drawEllipse(r.adjusted(0.5, 0.5, -0.5, -0.5));
}

void DrawMagnifier(QPainter& p, const QRectF& r) {
  p.setRenderHint(QPainter::Antialiasing);
  const double s = r.width();
  const QRectF lens(r.left() + s * 0.08, r.top() + s * 0.08, s * 0.56, s * 0.56);
  p.setPen(QPen(QColor(90, 60, 30), s * 0.16, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(r.left() + s * 0.60, r.top() + s * 0.60),
             QPointF(r.left() + s * 0.92, r.top() + s * 0.92));
  QRadialGradient glass(lens.center() - QPointF(s * 0.08, s * 0.08), s * 0.35);
  glass.setColorAt(0, QColor(235, 248, 255));
  glass.setColorAt(1, QColor(120, 180, 230));
  p.setBrush(glass);
  p.setPen(QPen(QColor(200, 200, 210), s * 0.09));
  p.drawEllipse(lens);
}

QPixmap Picture22(void (*draw)(QPainter&)) {
  QImage image = Blank(22, 22);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  draw(p);
  p.end();
  return QPixmap::fromImage(image);
}

}  // namespace

QPixmap TopBandPicture() {
  QImage image(472, 57, QImage::Format_RGB32);
  QPainter p(&image);
  QLinearGradient g(0, 0, 0, 57);
  g.setColorAt(0, QColor(236, 236, 236));
  g.setColorAt(0.85, QColor(200, 200, 200));
  g.setColorAt(1, QColor(170, 170, 170));
  p.fillRect(image.rect(), g);
  p.fillRect(QRect(0, 54, 472, 3), QColor(64, 64, 64));
  p.end();
  return QPixmap::fromImage(image);
}

QPixmap BottomBandPicture() {
  QImage image(472, 19, QImage::Format_RGB32);
  QPainter p(&image);
  QLinearGradient g(0, 0, 0, 19);
  g.setColorAt(0, QColor(150, 150, 150));
  g.setColorAt(1, QColor(120, 120, 120));
  p.fillRect(image.rect(), g);
  p.end();
  return QPixmap::fromImage(image);
}

QPixmap BlackPicture() {
  QImage image(8, 8, QImage::Format_RGB32);
  image.fill(Qt::black);
  return QPixmap::fromImage(image);
}

QPixmap GlobePicture() {
  QImage image = Blank(128, 128);
  QPainter p(&image);
  DrawGlobe(p, QRectF(4, 4, 120, 120));
  p.end();
  return QPixmap::fromImage(image);
}

QPixmap ScanPicture() {
  return Picture22([](QPainter& p) { DrawMagnifier(p, QRectF(0, 0, 22, 22)); });
}

QPixmap UpdatePicture() {
  return Picture22([](QPainter& p) {
    // A dish on a stand, its feed arm pointing up to the right.
    p.setPen(QPen(QColor(110, 110, 120), 2));
    p.drawLine(QPointF(9, 13), QPointF(6, 21));
    p.drawLine(QPointF(9, 13), QPointF(13, 21));
    QPainterPath dish;
    dish.moveTo(2, 6);
    dish.quadTo(4, 18, 17, 15);
    dish.closeSubpath();
    QLinearGradient g(2, 6, 17, 15);
    g.setColorAt(0, QColor(250, 250, 250));
    g.setColorAt(1, QColor(150, 160, 170));
    p.setBrush(g);
    p.setPen(QPen(QColor(80, 80, 90), 1));
    p.drawPath(dish);
    p.setPen(QPen(QColor(80, 80, 90), 1.2));
    p.drawLine(QPointF(9.5, 10.5), QPointF(16, 4));
    p.setBrush(QColor(230, 60, 40));
    p.setPen(Qt::NoPen);
    p.drawEllipse(QPointF(16.5, 3.5), 2, 2);
    p.setPen(QPen(QColor(255, 220, 80), 1));
    p.drawArc(QRectF(15, 0, 6, 6), 0 * 16, 90 * 16);
  });
}

QPixmap HelpPicture() {
  return Picture22([](QPainter& p) {
    QRadialGradient g(QPointF(8, 7), 12);
    g.setColorAt(0, QColor(255, 240, 140));
    g.setColorAt(1, QColor(230, 170, 20));
    p.setBrush(g);
    p.setPen(QPen(QColor(150, 100, 0), 1));
    p.drawEllipse(QRectF(1.5, 1.5, 19, 19));
    p.setBrush(QColor(40, 30, 10));
    p.setPen(Qt::NoPen);
    p.drawEllipse(QPointF(7.5, 8.5), 1.5, 2);
    p.drawEllipse(QPointF(14.5, 8.5), 1.5, 2);
    p.setPen(QPen(QColor(40, 30, 10), 1.5, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(6, 8, 10, 8), 200 * 16, 140 * 16);
  });
}

QPixmap SettingsPicture() {
  return Picture22([](QPainter& p) {
    QPainterPath ring;
    ring.addEllipse(QRectF(1.5, 1.5, 19, 19));
    ring.addEllipse(QRectF(6.5, 6.5, 9, 9));
    ring.setFillRule(Qt::OddEvenFill);
    QLinearGradient g(0, 0, 22, 22);
    g.setColorAt(0, QColor(245, 245, 250));
    g.setColorAt(0.5, QColor(150, 155, 165));
    g.setColorAt(1, QColor(70, 75, 85));
    p.setBrush(g);
    p.setPen(QPen(QColor(60, 60, 70), 1));
    p.drawPath(ring);
  });
}

QPixmap StopPicture() {
  return Picture22([](QPainter& p) {
    for (const auto& [pen, color] :
         {std::pair{5.5, QColor(120, 0, 0)}, std::pair{3.5, QColor(230, 30, 30)}}) {
      p.setPen(QPen(color, pen, Qt::SolidLine, Qt::RoundCap));
      p.drawLine(QPointF(5, 5), QPointF(17, 17));
      p.drawLine(QPointF(17, 5), QPointF(5, 17));
    }
  });
}

QImage IconImage(int size) {
  QImage image = Blank(size, size);
  QPainter p(&image);
  const double s = size;
  DrawGlobe(p, QRectF(s * 0.02, s * 0.02, s * 0.78, s * 0.78));
  DrawMagnifier(p, QRectF(s * 0.40, s * 0.40, s * 0.60, s * 0.60));
  p.end();
  return image;
}

QIcon ApplicationIcon() {
  QIcon icon;
  for (int size : {16, 24, 32, 48, 64, 128, 256})
    icon.addPixmap(QPixmap::fromImage(IconImage(size)));
  return icon;
}

}  // namespace nerlo::windows
