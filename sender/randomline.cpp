#include "randomline.h"

#include <QBrush>
#include <QColor>
#include <QLine>
#include <QPainter>
#include <QPen>

void drawRandomLine(QImage &picture, std::minstd_rand &random)
{
    QPainter painter(&picture);
    const int64_t width = picture.width();
    const int64_t height = picture.height();
    // Each draw in 0..32767, taken in this order: the lines depend only on the generator's state.
    auto draw = [&random] { return int64_t(random() % 32768); };
    const int x1 = int(draw() * width / 32767);
    const int y1 = int(draw() * height / 32767);
    const int x2 = int(draw() * width / 32767);
    const int y2 = int(draw() * height / 32767);
    const int red = int(draw() * 255 / 32767);
    const int green = int(draw() * 255 / 32767);
    const int blue = int(draw() * 255 / 32767);

    QColor colour;
    colour.setRgb(red, green, blue, 255);
    painter.setPen(QPen(QBrush(colour, Qt::SolidPattern), 2.0, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin));
    const QLine line(x1, y1, x2, y2);
    painter.drawLines(&line, 1);
    painter.end();
}
