// kvr-make-icons: paints the window's icons and writes them as PNGs into the
// directory given as the only argument, and the program icon as log.ico for
// the Windows executable. Shapes and paths only, no text, so the result is
// the same whatever fonts the machine has.
//
// Every icon is drawn on a 100 x 100 grid that the painter scales to the
// image size, so strokes and corners keep the same proportions in all sizes.

#include <QBuffer>
#include <QDataStream>
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QSaveFile>
#include <QTransform>

#include <cstdio>
#include <functional>
#include <iterator>
#include <vector>

namespace {

// Thick enough to stay about 2 px wide at toolbar size.
constexpr qreal Stroke = 6.0;
// The gap cut around a badge so it stands off what lies beneath.
constexpr qreal BadgeGap = 4.0;

QColor ink()
{
    return QColor::fromRgb(0x2b, 0x3a, 0x4a);
}
QColor blue()
{
    return QColor::fromRgb(0x2f, 0x7f, 0xe0);
}
QColor paleBlue()
{
    return QColor::fromRgb(0xd9, 0xe8, 0xfb);
}
QColor green()
{
    return QColor::fromRgb(0x2e, 0xa8, 0x5a);
}
QColor red()
{
    return QColor::fromRgb(0xe0, 0x45, 0x45);
}
QColor amber()
{
    return QColor::fromRgb(0xf2, 0xa9, 0x3b);
}
QColor paper()
{
    return QColor::fromRgb(0xff, 0xff, 0xff);
}
QColor slot()
{
    return QColor::fromRgb(0x8d, 0x9b, 0xab);
}

QPen roundPen(const QColor &color, qreal width = Stroke)
{
    return QPen(color, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}

void strokePath(QPainter &p, const QPainterPath &path, const QColor &color, qreal width = Stroke)
{
    p.strokePath(path, roundPen(color, width));
}

void fillRoundRect(QPainter &p, const QRectF &rect, qreal radius, const QColor &color)
{
    QPainterPath path;
    path.addRoundedRect(rect, radius, radius);
    p.fillPath(path, color);
}

void outlinedRoundRect(QPainter &p, const QRectF &rect, qreal radius, const QColor &fill)
{
    QPainterPath path;
    path.addRoundedRect(rect, radius, radius);
    p.fillPath(path, fill);
    strokePath(p, path, ink());
}

void fillCircle(QPainter &p, const QPointF &center, qreal radius, const QColor &color)
{
    QPainterPath path;
    path.addEllipse(center, radius, radius);
    p.fillPath(path, color);
}

// Erases the pixels under a path widened by the gap, so the next shape gets a
// transparent outline.
void clearAround(QPainter &p, const QPainterPath &path, qreal gap)
{
    p.save();
    p.setCompositionMode(QPainter::CompositionMode_Clear);
    p.fillPath(path, Qt::black);
    p.strokePath(path, QPen(Qt::black, 2 * gap, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.restore();
}

void badge(QPainter &p, const QPointF &center, qreal radius, const QColor &color)
{
    QPainterPath disc;
    disc.addEllipse(center, radius, radius);
    clearAround(p, disc, BadgeGap);
    p.fillPath(disc, color);
}

QPainterPath polyline(std::initializer_list<QPointF> points)
{
    QPainterPath path;
    bool first = true;
    for (const QPointF &point : points) {
        if (first)
            path.moveTo(point);
        else
            path.lineTo(point);
        first = false;
    }
    return path;
}

QPainterPath arc(const QPointF &center, qreal radius, qreal startDeg, qreal spanDeg)
{
    const QRectF box(center.x() - radius, center.y() - radius, 2 * radius, 2 * radius);
    QPainterPath path;
    path.arcMoveTo(box, startDeg);
    path.arcTo(box, startDeg, spanDeg);
    return path;
}

// An arrow from tail to head with an open, rounded head.
QPainterPath arrow(const QPointF &tail, const QPointF &head, qreal headSize)
{
    const QLineF shaft(head, tail);
    QLineF wing1 = shaft;
    wing1.setLength(headSize);
    QLineF wing2 = wing1;
    wing1.setAngle(shaft.angle() + 45);
    wing2.setAngle(shaft.angle() - 45);
    QPainterPath path = polyline({tail, head});
    path.moveTo(wing1.p2());
    path.lineTo(head);
    path.lineTo(wing2.p2());
    return path;
}

// Listening: a round button sending waves out to both sides.
void drawListening(QPainter &p, const QColor &buttonColor)
{
    const QPointF center(50, 50);
    for (qreal radius : {32.0, 44.0}) {
        strokePath(p, arc(center, radius, -38, 76), ink());
        strokePath(p, arc(center, radius, 142, 76), ink());
    }
    fillCircle(p, center, 21, buttonColor);
}

void drawStartListening(QPainter &p)
{
    drawListening(p, green());
    QPainterPath play = polyline({{44, 39}, {44, 61}, {61, 50}});
    play.closeSubpath();
    p.fillPath(play, paper());
    strokePath(p, play, paper(), 4);
}

void drawStopListening(QPainter &p)
{
    drawListening(p, red());
    fillRoundRect(p, QRectF(41, 41, 18, 18), 3, paper());
}

// A sheet with a folded corner; the fold follows the outline's stroke.
QPainterPath sheetOutline(const QRectF &rect, qreal fold)
{
    return polyline({rect.topLeft(),
                     {rect.right() - fold, rect.top()},
                     {rect.right(), rect.top() + fold},
                     rect.bottomRight(),
                     rect.bottomLeft(),
                     rect.topLeft()});
}

void drawSheet(QPainter &p, const QRectF &rect, qreal fold)
{
    const QPainterPath outline = sheetOutline(rect, fold);
    p.fillPath(outline, paper());
    strokePath(p, outline, ink());
    const QPointF corner(rect.right() - fold, rect.top());
    strokePath(p, polyline({corner, corner + QPointF(0, fold), corner + QPointF(fold, fold)}),
               ink());
}

void drawTextLines(QPainter &p, qreal left, const std::vector<std::pair<qreal, qreal>> &lines,
                   const QColor &color, qreal width)
{
    for (const auto &[y, right] : lines)
        strokePath(p, polyline({{left, y}, {right, y}}), color, width);
}

// Clear text: lines of text with an eraser wiping across them.
void drawClearText(QPainter &p)
{
    drawTextLines(p, 12, {{18, 84}, {34, 70}, {50, 78}, {66, 46}}, ink(), 8);

    p.save();
    p.translate(64, 66);
    p.rotate(-40);
    const QRectF body(-26, -13, 52, 26);
    QPainterPath outline;
    outline.addRoundedRect(body, 6, 6);
    clearAround(p, outline, BadgeGap + Stroke / 2);
    p.fillPath(outline, paper());
    QPainterPath tip;
    tip.addRoundedRect(QRectF(body.left(), body.top(), 26, body.height()), 6, 6);
    tip.addRect(QRectF(body.left() + 16, body.top(), 10, body.height()));
    p.fillPath(tip.simplified(), red());
    strokePath(p, polyline({{0, body.top()}, {0, body.bottom()}}), ink());
    strokePath(p, outline, ink());
    p.restore();
}

// File send: a sheet with an arrow leaving it.
void drawFileSend(QPainter &p)
{
    drawSheet(p, QRectF(16, 8, 52, 78), 18);
    drawTextLines(p, 27, {{40, 48}, {54, 54}}, slot(), 6);
    badge(p, QPointF(70, 70), 24, blue());
    strokePath(p, arrow({57, 70}, {83, 70}, 11), paper());
}

// A plug and its socket on the diagonal; gap is the distance between their
// faces along the cable.
void drawPlugPair(QPainter &p, qreal gap, const QColor &accent)
{
    p.save();
    p.translate(50, 50);
    p.rotate(-45);
    const qreal half = gap / 2;
    const qreal bodyLength = 24;

    // Cables first, so the bodies cover their ends.
    strokePath(p, polyline({{-half - bodyLength, 0}, {-64, 0}}), ink());
    strokePath(p, polyline({{half + bodyLength, 0}, {64, 0}}), ink());

    // Prongs reach into the socket when joined, so they go under its body.
    for (qreal y : {-7.0, 7.0})
        strokePath(p, polyline({{-half, y}, {-half + 12, y}}), ink(), 5);

    const qreal height = 32;
    outlinedRoundRect(p, QRectF(-half - bodyLength, -height / 2, bodyLength, height), 6, accent);
    outlinedRoundRect(p, QRectF(half, -height / 2, bodyLength, height), 6, accent);
    p.restore();
}

void drawConnect(QPainter &p)
{
    drawPlugPair(p, 4, green());
}

void drawDisconnect(QPainter &p)
{
    drawPlugPair(p, 30, red());
    // Short sparks across the gap, so the break reads at a glance.
    p.save();
    p.translate(50, 50);
    p.rotate(45);
    for (qreal x : {-9.0, 9.0})
        strokePath(p, polyline({{x, -8}, {x * 1.3, -17}}), red(), 5);
    for (qreal x : {-9.0, 9.0})
        strokePath(p, polyline({{x, 8}, {x * 1.3, 17}}), red(), 5);
    p.restore();
}

// Reconnecting on its own: two arrows turning round a joined plug.
void drawAutoReconnect(QPainter &p)
{
    const QPointF center(50, 50);
    const qreal radius = 40;
    const qreal span = 130;
    for (const qreal start : {25.0, 205.0}) {
        strokePath(p, arc(center, radius, start, span), blue());
        const QPointF tip = QLineF::fromPolar(radius, start + span).translated(center).p2();
        // Along the turn, which runs counter-clockwise.
        const QPointF along = QLineF::fromPolar(12, start + span + 90).p2();
        strokePath(p, arrow(tip - along, tip, 14), blue());
    }
    p.save();
    p.translate(center);
    p.scale(0.5, 0.5);
    p.translate(-center);
    drawConnect(p);
    p.restore();
}

// The transfer list: a sheet of rows, each with the light of its tab (done,
// failed, waiting).
void drawTransferList(QPainter &p)
{
    outlinedRoundRect(p, QRectF(12, 10, 76, 80), 10, paper());
    const QColor lights[] = {green(), red(), blue()};
    for (int row = 0; row < 3; ++row) {
        const qreal y = 31 + row * 19;
        fillCircle(p, QPointF(29, y), 6, lights[row]);
        strokePath(p, polyline({{43, y}, {74, y}}), slot(), 6);
    }
}

// The settings: a gear with eight teeth.
void drawSettings(QPainter &p)
{
    const QPointF center(50, 50);
    QPainterPath gear;
    gear.addEllipse(center, 30, 30);
    for (int tooth = 0; tooth < 8; ++tooth) {
        QPainterPath shape;
        shape.addRoundedRect(QRectF(-9, -43, 18, 22), 4, 4);
        QTransform turn;
        turn.translate(center.x(), center.y());
        turn.rotate(tooth * 45.0);
        gear = gear.united(turn.map(shape));
    }
    QPainterPath hole;
    hole.addEllipse(center, 12, 12);
    gear = gear.subtracted(hole);
    p.setPen(roundPen(ink()));
    p.setBrush(paleBlue());
    p.drawPath(gear);
}

void drawMonitor(QPainter &p, const QRectF &screen)
{
    const qreal cx = screen.center().x();
    const qreal w = screen.width();
    QPainterPath neck = polyline({{cx - w * 0.08, screen.bottom()},
                                  {cx + w * 0.08, screen.bottom()},
                                  {cx + w * 0.11, screen.bottom() + w * 0.17},
                                  {cx - w * 0.11, screen.bottom() + w * 0.17}});
    neck.closeSubpath();
    p.fillPath(neck, ink());
    fillRoundRect(p, QRectF(cx - w * 0.28, screen.bottom() + w * 0.15, w * 0.56, w * 0.08),
                  w * 0.04, ink());
    fillRoundRect(p, screen, w * 0.08, ink());
    fillRoundRect(p, screen.adjusted(w * 0.08, w * 0.08, -w * 0.08, -w * 0.08), w * 0.03, blue());
}

// Client: the PC.
void drawClient(QPainter &p)
{
    drawMonitor(p, QRectF(8, 14, 84, 58));
    // A light glint, so the screen does not read as a flat block.
    strokePath(p, polyline({{22, 46}, {36, 32}}), paleBlue(), 5);
    strokePath(p, polyline({{22, 58}, {48, 32}}), paleBlue(), 5);
}

// Server: three rack units with status lights and drive slots.
void drawServer(QPainter &p)
{
    const QColor lights[] = {green(), green(), amber()};
    for (int unit = 0; unit < 3; ++unit) {
        const qreal top = 9 + unit * 29;
        fillRoundRect(p, QRectF(12, top, 76, 24), 6, ink());
        fillCircle(p, QPointF(26, top + 12), 5, lights[unit]);
        strokePath(p, polyline({{50, top + 12}, {76, top + 12}}), slot(), 5);
    }
}

// Connection test: a pulse running through a ring, with a tick.
void drawTest(QPainter &p)
{
    strokePath(p, arc(QPointF(50, 50), 40, 0, 360), ink());
    strokePath(p, polyline({{10, 52}, {28, 52}, {36, 36}, {47, 70}, {57, 24}, {65, 52}, {90, 52}}),
               blue(), 7);
    badge(p, QPointF(76, 76), 20, green());
    strokePath(p, polyline({{67, 77}, {74, 84}, {86, 69}}), paper());
}

// A controller module: terminals along the top, a status light and a small
// display on the front.
void drawController(QPainter &p, const QRectF &body)
{
    const qreal w = body.width();
    for (int i = 0; i < 3; ++i) {
        const qreal x = body.left() + w * (0.18 + i * 0.25);
        fillRoundRect(p, QRectF(x, body.top() - w * 0.14, w * 0.14, w * 0.2), w * 0.04, ink());
    }
    fillRoundRect(p, body, w * 0.12, ink());
    fillRoundRect(p, QRectF(body.left() + w * 0.16, body.top() + w * 0.16, w * 0.68, w * 0.3),
                  w * 0.05, paleBlue());
    fillCircle(p, QPointF(body.left() + w * 0.28, body.bottom() - w * 0.24), w * 0.1, green());
    strokePath(p,
               polyline({{body.left() + w * 0.52, body.bottom() - w * 0.24},
                         {body.right() - w * 0.18, body.bottom() - w * 0.24}}),
               slot(), w * 0.11);
}

// The tool itself: a file travelling between the PC and the controller.
void drawAppIcon(QPainter &p)
{
    drawMonitor(p, QRectF(4, 54, 42, 28));
    drawController(p, QRectF(62, 54, 32, 36));

    // An arc over both, with a head at each end pointing down into the device.
    const QPointF center(50, 64);
    const qreal radius = 31;
    const qreal endDeg = 34;
    strokePath(p, arc(center, radius, 180 - endDeg, -(180 - 2 * endDeg)), green());
    const QLineF toLeftEnd = QLineF::fromPolar(radius, 180 - endDeg).translated(center);
    const QLineF toRightEnd = QLineF::fromPolar(radius, endDeg).translated(center);
    const QPointF leftTip = toLeftEnd.p2();
    const QPointF rightTip = toRightEnd.p2();
    // The tangent at each end, pointing away from the top of the arc.
    const QLineF leftTangent = QLineF::fromPolar(10, 180 - endDeg + 90).translated(leftTip);
    const QLineF rightTangent = QLineF::fromPolar(10, endDeg - 90).translated(rightTip);
    QPainterPath heads = arrow(leftTip - (leftTangent.p2() - leftTip), leftTip, 10);
    heads.addPath(arrow(rightTip - (rightTangent.p2() - rightTip), rightTip, 10));
    strokePath(p, heads, green());

    const QRectF sheet(38, 8, 24, 32);
    clearAround(p, sheetOutline(sheet, 9), BadgeGap + Stroke / 2);
    drawSheet(p, sheet, 9);
}

struct Icon
{
    const char *fileName; // UTF-8
    int size;
    std::function<void(QPainter &)> draw;
    // Drawn again at twice the size as name@2x.png, for scaled displays.
    bool inToolBar = false;
};

const std::vector<Icon> &icons()
{
    static const std::vector<Icon> all = {
        {"停止监听.png", 512, drawStopListening},
        {"清除文本.png", 512, drawClearText},
        {"fileSend.png", 512, drawFileSend},
        {"disconnect.png", 650, drawDisconnect, true},
        {"connect.png", 512, drawConnect, true},
        {"autoReconnect.png", 512, drawAutoReconnect, true},
        {"transferList.png", 512, drawTransferList, true},
        {"settings.png", 512, drawSettings, true},
        {"开始监听.png", 512, drawStartListening},
        {"client.png", 512, drawClient},
        {"test.png", 700, drawTest},
        {"server.png", 512, drawServer},
        {"log.png", 256, drawAppIcon},
    };
    return all;
}

QImage render(int size, const std::function<void(QPainter &)> &draw)
{
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 100.0, size / 100.0);
    draw(p);
    p.end();
    return image;
}

QByteArray pngBytes(const QImage &image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

// Drawn afresh in each size Explorer asks for rather than scaled down. Each
// entry holds a PNG, which Windows reads in icons since Vista.
bool writeProgramIcon(const QString &path)
{
    const int sizes[] = {16, 24, 32, 48, 64, 128, 256};
    const int count = int(std::size(sizes));
    QByteArray directory;
    QByteArray images;
    QDataStream out(&directory, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    out << quint16(0) << quint16(1) << quint16(count); // reserved, type icon, count
    for (const int size : sizes) {
        const QByteArray png = pngBytes(render(size, drawAppIcon));
        const quint8 side = size >= 256 ? 0 : quint8(size); // 0 stands for 256
        out << side << side << quint8(0) << quint8(0) << quint16(1) << quint16(32)
            << quint32(png.size()) << quint32(6 + 16 * count + images.size());
        images += png;
    }
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(directory + images) > 0 && file.commit();
}

bool writeImage(const QString &path, int size, const std::function<void(QPainter &)> &draw)
{
    if (!render(size, draw).save(path, "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", qUtf8Printable(path));
        return false;
    }
    std::printf("%s\n", qUtf8Printable(path));
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 2) {
        std::fprintf(stderr, "usage: kvr-make-icons OUTPUT_DIR\n");
        return 2;
    }
    const QDir outDir(args.at(1));
    if (!outDir.mkpath(QStringLiteral("."))) {
        std::fprintf(stderr, "cannot create %s\n", qUtf8Printable(args.at(1)));
        return 1;
    }
    for (const Icon &icon : icons()) {
        const QString name = QString::fromUtf8(icon.fileName);
        if (!writeImage(outDir.filePath(name), icon.size, icon.draw))
            return 1;
        const QString doubleName = name.chopped(4) + QStringLiteral("@2x.png");
        if (icon.inToolBar && !writeImage(outDir.filePath(doubleName), 2 * icon.size, icon.draw))
            return 1;
    }
    const QString programIcon = outDir.filePath(QStringLiteral("log.ico"));
    if (!writeProgramIcon(programIcon)) {
        std::fprintf(stderr, "cannot write %s\n", qUtf8Printable(programIcon));
        return 1;
    }
    std::printf("%s\n", qUtf8Printable(programIcon));
    return 0;
}
