// Draws the ten images that chartransfer compiles in and writes them as PNG files:
//
//     chartransfer_drawimages <output folder>
//
// The nine tool icons are 22 by 22, the double arrow of the transfer button 32 by 32; all
// have an alpha channel. Run it again after changing a drawing and commit the PNGs.

#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <QTextStream>

#include <functional>

namespace {

constexpr int IconSize = 22;
constexpr int ArrowSize = 32;

const QColor outline(0x30, 0x30, 0x30);

QImage blank(int size)
{
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    return image;
}

void setUp(QPainter &p)
{
    p.setRenderHint(QPainter::Antialiasing);
}

// A sheet of paper with a folded top-right corner and a few lines of text.
void drawPage(QPainter &p, const QRectF &r, bool lines = true)
{
    const qreal fold = 4;
    QPainterPath sheet;
    sheet.moveTo(r.topLeft());
    sheet.lineTo(r.right() - fold, r.top());
    sheet.lineTo(r.right(), r.top() + fold);
    sheet.lineTo(r.bottomRight());
    sheet.lineTo(r.bottomLeft());
    sheet.closeSubpath();
    p.setPen(QPen(outline, 1));
    p.setBrush(Qt::white);
    p.drawPath(sheet);
    p.setBrush(QColor(0xd0, 0xd0, 0xd0));
    p.drawPolygon(QPolygonF({ QPointF(r.right() - fold, r.top()),
            QPointF(r.right() - fold, r.top() + fold), QPointF(r.right(), r.top() + fold) }));
    if (!lines)
        return;
    p.setPen(QPen(QColor(0x70, 0x80, 0xa0), 1));
    for (qreal y = r.top() + 5.5; y < r.bottom() - 2; y += 2.5)
        p.drawLine(QPointF(r.left() + 2.5, y), QPointF(r.right() - 2.5, y));
}

// An open folder: the back with its tab, and the front flap tilted open.
QImage fileOpen()
{
    QImage image = blank(IconSize);
    QPainter p(&image);
    setUp(p);
    QPainterPath back;
    back.moveTo(2.5, 5.5);
    back.lineTo(8.5, 5.5);
    back.lineTo(10.5, 7.5);
    back.lineTo(17.5, 7.5);
    back.lineTo(17.5, 18.5);
    back.lineTo(2.5, 18.5);
    back.closeSubpath();
    p.setPen(QPen(QColor(0x6b, 0x4e, 0x10), 1));
    p.setBrush(QColor(0xd9, 0xa4, 0x2b));
    p.drawPath(back);
    drawPage(p, QRectF(5.5, 3.5, 9, 11), false);
    QLinearGradient front(0, 10, 0, 19);
    front.setColorAt(0, QColor(0xff, 0xdc, 0x6e));
    front.setColorAt(1, QColor(0xf0, 0xb4, 0x32));
    p.setPen(QPen(QColor(0x6b, 0x4e, 0x10), 1));
    p.setBrush(front);
    p.drawPolygon(QPolygonF(
            { QPointF(5.5, 10.5), QPointF(20.5, 10.5), QPointF(17.5, 18.5), QPointF(2.5, 18.5) }));
    return image;
}

// A floppy disk: blue body, metal shutter at the top, white label below.
QImage fileSave()
{
    QImage image = blank(IconSize);
    QPainter p(&image);
    setUp(p);
    QPainterPath body;
    body.moveTo(2.5, 2.5);
    body.lineTo(17.5, 2.5);
    body.lineTo(19.5, 4.5);
    body.lineTo(19.5, 19.5);
    body.lineTo(2.5, 19.5);
    body.closeSubpath();
    p.setPen(QPen(QColor(0x10, 0x24, 0x50), 1));
    p.setBrush(QColor(0x35, 0x5f, 0xb0));
    p.drawPath(body);
    p.setPen(QPen(QColor(0x50, 0x50, 0x50), 1));
    p.setBrush(QColor(0xc8, 0xc8, 0xc8));
    p.drawRect(QRectF(6.5, 2.5, 9, 6));
    p.setBrush(QColor(0x35, 0x5f, 0xb0));
    p.setPen(Qt::NoPen);
    p.drawRect(QRectF(12, 3.5, 2, 4));
    p.setPen(QPen(QColor(0x50, 0x50, 0x50), 1));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(5.5, 11.5, 11, 8));
    p.setPen(QPen(QColor(0x90, 0x90, 0x90), 1));
    p.drawLine(QPointF(7, 14), QPointF(15, 14));
    p.drawLine(QPointF(7, 16.5), QPointF(15, 16.5));
    return image;
}

// A printer with a sheet going in at the top and coming out at the front.
QImage print()
{
    QImage image = blank(IconSize);
    QPainter p(&image);
    setUp(p);
    drawPage(p, QRectF(6.5, 1.5, 9, 8), false);
    QLinearGradient body(0, 8, 0, 17);
    body.setColorAt(0, QColor(0xe4, 0xe4, 0xe4));
    body.setColorAt(1, QColor(0x9a, 0x9a, 0x9a));
    p.setPen(QPen(outline, 1));
    p.setBrush(body);
    p.drawRoundedRect(QRectF(1.5, 8.5, 19, 8), 1.5, 1.5);
    p.setBrush(QColor(0x50, 0x50, 0x50));
    p.drawRect(QRectF(4.5, 14.5, 13, 2));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x40, 0xc0, 0x40));
    p.drawEllipse(QPointF(17.5, 11), 1, 1);
    drawPage(p, QRectF(5.5, 15.5, 11, 5), false);
    p.setPen(QPen(QColor(0x70, 0x80, 0xa0), 1));
    p.drawLine(QPointF(7.5, 18.5), QPointF(14.5, 18.5));
    return image;
}

// A curved arrow; `mirrored` turns the undo arrow into the redo arrow.
QImage curvedArrow(bool mirrored)
{
    QImage image = blank(IconSize);
    QPainter p(&image);
    setUp(p);
    if (mirrored) {
        p.translate(IconSize, 0);
        p.scale(-1, 1);
    }
    // The shaft: a half turn from the arrow head on the left round to the lower right.
    QPainterPath shaft;
    shaft.moveTo(7, 8);
    shaft.lineTo(13, 8);
    shaft.arcTo(QRectF(8, 8, 10, 10), 90, -180);
    shaft.lineTo(9, 18);
    p.setPen(QPen(QColor(0x1a, 0x3c, 0x8c), 5, Qt::SolidLine, Qt::FlatCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    p.drawPath(shaft);
    p.setPen(QPen(QColor(0x4a, 0x7c, 0xd8), 3, Qt::SolidLine, Qt::FlatCap, Qt::RoundJoin));
    p.drawPath(shaft);
    p.setPen(QPen(QColor(0x1a, 0x3c, 0x8c), 1));
    p.setBrush(QColor(0x4a, 0x7c, 0xd8));
    p.drawPolygon(QPolygonF({ QPointF(1.5, 8), QPointF(8.5, 2), QPointF(8.5, 14) }));
    return image;
}

// Open scissors: two blades crossing at a pivot, two ring handles below.
QImage editCut()
{
    QImage image = blank(IconSize);
    QPainter p(&image);
    setUp(p);
    p.setPen(QPen(QColor(0x55, 0x55, 0x60), 1));
    p.setBrush(QColor(0xd8, 0xd8, 0xe0));
    p.drawPolygon(
            QPolygonF({ QPointF(6, 1.5), QPointF(8, 1.5), QPointF(13, 13.5), QPointF(11, 14.5) }));
    p.drawPolygon(
            QPolygonF({ QPointF(16, 1.5), QPointF(14, 1.5), QPointF(9, 13.5), QPointF(11, 14.5) }));
    p.setBrush(QColor(0x40, 0x40, 0x40));
    p.drawEllipse(QPointF(11, 9.5), 1, 1);
    p.setPen(QPen(QColor(0xb0, 0x20, 0x20), 2));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QPointF(6.5, 16.5), 3, 3);
    p.drawEllipse(QPointF(15.5, 16.5), 3, 3);
    return image;
}

// Two sheets, one overlapping the other.
QImage editCopy()
{
    QImage image = blank(IconSize);
    QPainter p(&image);
    setUp(p);
    drawPage(p, QRectF(2.5, 1.5, 11, 14));
    drawPage(p, QRectF(8.5, 6.5, 11, 14));
    return image;
}

// A clipboard with its metal clip and a sheet on it.
QImage editPaste()
{
    QImage image = blank(IconSize);
    QPainter p(&image);
    setUp(p);
    p.setPen(QPen(QColor(0x5a, 0x3a, 0x1a), 1));
    p.setBrush(QColor(0xa8, 0x74, 0x3c));
    p.drawRoundedRect(QRectF(2.5, 3.5, 15, 17), 1.5, 1.5);
    drawPage(p, QRectF(9.5, 8.5, 10, 12));
    p.setPen(QPen(QColor(0x40, 0x40, 0x40), 1));
    p.setBrush(QColor(0xc0, 0xc0, 0xc8));
    p.drawRoundedRect(QRectF(6.5, 1.5, 7, 4), 1, 1);
    return image;
}

// A magnifying glass: a lens with a glint and a dark handle to the lower right.
QImage searchFind()
{
    QImage image = blank(IconSize);
    QPainter p(&image);
    setUp(p);
    p.setPen(QPen(QColor(0x30, 0x30, 0x30), 4, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(13.5, 13.5), QPointF(19, 19));
    QRadialGradient glass(QPointF(7.5, 7.5), 7);
    glass.setColorAt(0, QColor(0xf0, 0xf8, 0xff, 0xe0));
    glass.setColorAt(1, QColor(0x90, 0xb8, 0xe0, 0xc0));
    p.setPen(QPen(QColor(0x50, 0x50, 0x58), 2));
    p.setBrush(glass);
    p.drawEllipse(QPointF(9, 9), 6.5, 6.5);
    p.setPen(QPen(Qt::white, 1.5, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(5, 5, 8, 8), 100 * 16, 70 * 16);
    return image;
}

// Two solid grey right-pointing triangles side by side on a transparent background.
QImage doubleRightArrow()
{
    QImage image = blank(ArrowSize);
    QPainter p(&image);
    setUp(p);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x80, 0x80, 0x80));
    p.drawPolygon(QPolygonF({ QPointF(3, 5), QPointF(16, 16), QPointF(3, 27) }));
    p.drawPolygon(QPolygonF({ QPointF(16, 5), QPointF(29, 16), QPointF(16, 27) }));
    return image;
}

} // namespace

int main(int argc, char *argv[])
{
    // Drawing needs no display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QTextStream err(stderr);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 2) {
        err << "usage: chartransfer_drawimages <output folder>\n";
        return 2;
    }
    const QDir out(args.at(1));
    if (!out.exists() && !QDir().mkpath(out.path())) {
        err << "cannot create " << out.path() << '\n';
        return 1;
    }

    const struct
    {
        const char *file;
        std::function<QImage()> draw;
    } images[] = {
        { "fileopen.png", fileOpen },
        { "filesave.png", fileSave },
        { "print.png", print },
        { "undo.png", [] { return curvedArrow(false); } },
        { "redo.png", [] { return curvedArrow(true); } },
        { "editcut.png", editCut },
        { "editcopy.png", editCopy },
        { "editpaste.png", editPaste },
        { "searchfind.png", searchFind },
        { "2rightarrow.png", doubleRightArrow },
    };
    for (const auto &entry : images) {
        const QString path = out.filePath(QLatin1String(entry.file));
        if (!entry.draw().save(path, "PNG")) {
            err << "cannot write " << path << '\n';
            return 1;
        }
    }
    return 0;
}
