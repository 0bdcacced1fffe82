#include "mainwindow.h"

#include "randomline.h"

#include <QBrush>
#include <QColor>
#include <QLine>
#include <QPainter>
#include <QPen>

void MainWindow::drawEncoderImage()
{
    const RandomLine next = nextRandomLine(mRandom, mSendImage.width(), mSendImage.height());
    QPainter painter(&mSendImage);
    QColor colour;
    colour.setRgb(next.red, next.green, next.blue, 255);
    painter.setPen(QPen(QBrush(colour, Qt::SolidPattern), 2.0, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin));
    const QLine line(next.x1, next.y1, next.x2, next.y2);
    painter.drawLines(&line, 1);
    painter.end();
}
