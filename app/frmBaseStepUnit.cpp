#include "app/frmBaseStepUnit.h"

#include "app/AppTexts.h"

#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace {

QList<TFrmStep *> &Registry()
{
    static QList<TFrmStep *> steps;
    return steps;
}

} // namespace

TFrmStep::TFrmStep(const QString &name, QWidget *parent)
    : QWidget(parent, Qt::FramelessWindowHint)
{
    setObjectName(name);
    Registry().append(this);
    FormCreate();
}

TFrmStep::~TFrmStep()
{
    Registry().removeAll(this);
}

void TFrmStep::FormCreate()
{
    if (ImageCompany)
        return;
    FBitmap = MakeCompanyBitmap();
    ImageCompany = new QLabel(this);
    ImageCompany->setObjectName(QStringLiteral("ImageCompany"));
    ImageCompany->setPixmap(QPixmap::fromImage(FBitmap));
    ImageCompany->setAccessibleName(QStringLiteral("ImageCompany"));
    ImageCompany->hide();
}

void TFrmStep::Init() {}

bool TFrmStep::CanGoNext()
{
    return true;
}

QImage TFrmStep::GetBitmap()
{
    return FBitmap;
}

QString TFrmStep::GetNextCaption()
{
    return AppTexts::NextCaption();
}

void TFrmStep::BeforeGoNext() {}

QList<TFrmStep *> TFrmStep::AllSteps()
{
    return Registry();
}

QImage TFrmStep::MakeCompanyBitmap()
{
    // Painted once: every step carries the same picture, and implicit sharing makes the
    // copies free.
    static const QImage bitmap = PaintCompanyBitmap();
    return bitmap;
}

QImage TFrmStep::PaintCompanyBitmap()
{
    QImage image(150, 245, QImage::Format_RGB888);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);

    // A night-blue to teal sky; its bottom row is the colour the main window gives the
    // strip around the picture, so the two blend.
    QLinearGradient sky(0, 0, 0, 245);
    sky.setColorAt(0.0, QColor(18, 44, 86));
    sky.setColorAt(0.65, QColor(24, 96, 122));
    sky.setColorAt(1.0, QColor(30, 110, 130));
    p.fillRect(image.rect(), sky);

    // Soft rising circles, the house's sign for a release going up.
    for (int i = 0; i < 6; ++i) {
        QColor c(255, 255, 255, 18 + i * 6);
        p.setPen(Qt::NoPen);
        p.setBrush(c);
        const int r = 60 - i * 8;
        p.drawEllipse(QPointF(75, 175 - i * 14), r, r);
    }

    // A circular arrow: the update itself.
    QPen arc(QColor(250, 210, 90), 7, Qt::SolidLine, Qt::RoundCap);
    p.setPen(arc);
    p.setBrush(Qt::NoBrush);
    const QRectF ring(40, 55, 70, 70);
    p.drawArc(ring, 30 * 16, 290 * 16);
    QPainterPath head;
    head.moveTo(103, 62);
    head.lineTo(118, 82);
    head.lineTo(94, 84);
    head.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(250, 210, 90));
    p.drawPath(head);

    // The maker's name.
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(20);
    font.setBold(true);
    p.setFont(font);
    p.setPen(QColor(240, 244, 250));
    p.drawText(QRectF(0, 150, 150, 30), Qt::AlignCenter, QStringLiteral("Dremlix"));
    font.setPixelSize(11);
    font.setBold(false);
    p.setFont(font);
    p.setPen(QColor(200, 220, 232));
    p.drawText(QRectF(0, 178, 150, 20), Qt::AlignCenter, QStringLiteral("aggiornamento"));
    p.end();
    return image;
}
