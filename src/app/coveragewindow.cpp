#include "app/coveragewindow.h"

#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHelpEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScopeGuard>
#include <QScrollArea>
#include <QToolTip>
#include <QVBoxLayout>
#include <algorithm>
#include <exception>

#include "archive/archivereader.h"
#include "archive/coveragereport.h"
#include "archive/coveragesvg.h"
#include "archive/isotime.h"
#include "platform/odbc.h"

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

QString When(double t) { return Q(archive::FormatIsoTime(t)); }

// "2024-03-15 06:00:00", for titles.
QString Moment(double t) { return When(t).left(19).replace(10, 1, QLatin1Char(' ')); }

}  // namespace

CCoverageView::CCoverageView(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("coverageView"));
  setMouseTracking(true);
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void CCoverageView::SetCoverage(archive::Coverage coverage, const QString& archive) {
  m_Coverage = std::move(coverage);
  m_Archive = archive;
  setMinimumHeight(RowTop(m_Coverage.channels.size()) + kAxisHeight);
  updateGeometry();
  Rebuild();
  update();
}

QSize CCoverageView::sizeHint() const {
  return {archive::SvgLayout::kWidth, RowTop(m_Coverage.channels.size()) + kAxisHeight};
}

archive::TimeAxis CCoverageView::Axis() const {
  return {m_Coverage.window.from, m_Coverage.window.to, static_cast<double>(kLabelWidth),
          static_cast<double>(std::max(1, width() - kLabelWidth - kRightMargin))};
}

void CCoverageView::Rebuild() {
  const archive::TimeAxis axis = Axis();
  m_Bars.clear();
  m_Overlaps.clear();
  for (const archive::ChannelCoverage& c : m_Coverage.channels) {
    m_Bars.push_back(archive::SpanBars(c.spans, axis));
    m_Overlaps.push_back(archive::IntervalBars(c.overlaps, axis));
  }
}

void CCoverageView::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  Rebuild();
}

CCoverageView::Hit CCoverageView::HitAt(QPoint point) const {
  Hit hit;
  if (point.y() < kTop || point.x() < kLabelWidth) return hit;
  const size_t row = static_cast<size_t>((point.y() - kTop) / kRowHeight);
  if (row >= m_Coverage.channels.size() || row >= m_Bars.size()) return hit;
  hit.row = row;
  const double x = point.x() + 0.5;
  for (const archive::PixelBar& b : m_Overlaps[row])
    if (x >= b.x0 && x < b.x1) {
      hit.kind = Hit::kOverlap;
      hit.begin = b.begin, hit.end = b.end, hit.spans = b.spans;
      return hit;
    }
  for (const archive::PixelBar& b : m_Bars[row])
    if (x >= b.x0 && x < b.x1) {
      hit.kind = Hit::kSpan;
      hit.begin = b.begin, hit.end = b.end, hit.files = b.files, hit.spans = b.spans;
      return hit;
    }
  const archive::TimeAxis axis = Axis();
  const double t = axis.T(x);
  for (const archive::CoverageInterval& g : m_Coverage.channels[row].gaps)
    if (t >= g.begin && t < g.end) {
      hit.kind = Hit::kGap;
      hit.begin = g.begin, hit.end = g.end;
      return hit;
    }
  return hit;
}

QString CCoverageView::ToolTipAt(QPoint point) const {
  const Hit hit = HitAt(point);
  if (hit.kind == Hit::kNone) return {};
  const archive::ChannelCoverage& c = m_Coverage.channels[hit.row];
  const QString channel = Q(c.station + " " + c.channel);
  const QString length = Q(archive::FormatDuration(hit.end - hit.begin));
  const QString range = When(hit.begin) + QStringLiteral(" to ") + When(hit.end);
  switch (hit.kind) {
    case Hit::kSpan:
      return QStringLiteral("%1: data %2 (%3), %4 file%5%6")
          .arg(channel, range, length)
          .arg(hit.files)
          .arg(hit.files == 1 ? QString() : QStringLiteral("s"))
          .arg(hit.spans > 1 ? QStringLiteral(" in %1 spans less than a pixel apart").arg(hit.spans) : QString());
    case Hit::kGap:
      return QStringLiteral("%1: gap of %2, %3").arg(channel, length, range);
    case Hit::kOverlap:
      return QStringLiteral("%1: overlap of %2, %3").arg(channel, length, range);
    case Hit::kNone:
      break;
  }
  return {};
}

bool CCoverageView::event(QEvent* e) {
  if (e->type() == QEvent::ToolTip) {
    auto* help = static_cast<QHelpEvent*>(e);
    const QString text = ToolTipAt(help->pos());
    if (text.isEmpty())
      QToolTip::hideText();
    else
      QToolTip::showText(help->globalPos(), text, this);
    return true;
  }
  return QWidget::event(e);
}

void CCoverageView::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), Qt::white);
  const archive::TimeAxis axis = Axis();
  const size_t rows = m_Coverage.channels.size();
  const int bottom = RowTop(rows);

  QFont title = font();
  title.setBold(true);
  title.setPointSizeF(title.pointSizeF() * 1.25);
  p.setFont(title);
  p.drawText(QRect(0, 4, width(), 22), Qt::AlignCenter, QStringLiteral("Coverage of ") + m_Archive);
  p.setFont(font());
  p.drawText(QRect(0, 26, width(), 18), Qt::AlignCenter,
             Moment(m_Coverage.window.from) + QStringLiteral(" to ") + Moment(m_Coverage.window.to) + QStringLiteral(" UTC (") +
                 Q(archive::FormatDuration(m_Coverage.Seconds())) + QStringLiteral("), %1 channels").arg(rows));

  const QColor rowColour(archive::kRowColour), spanColour(archive::kSpanColour),
      overlapColour(archive::kOverlapColour);
  for (size_t i = 0; i < rows; ++i)
    p.fillRect(QRectF(axis.left, RowTop(i) + 1, axis.width, kRowHeight - 2), rowColour);

  const auto ticks = archive::AxisTicks(m_Coverage.window.from, m_Coverage.window.to,
                                        std::max(2, static_cast<int>(axis.width / 86)));
  p.setPen(QColor(0xc8, 0xce, 0xd4));
  for (const archive::AxisTick& t : ticks) p.drawLine(QPointF(axis.X(t.t), kTop), QPointF(axis.X(t.t), bottom + 4));
  p.setPen(Qt::black);
  for (const archive::AxisTick& t : ticks)
    p.drawText(QRectF(axis.X(t.t) - 60, bottom + 6, 120, 16), Qt::AlignHCenter | Qt::AlignTop, Q(t.label));
  p.setPen(QColor(0x55, 0x55, 0x55));
  p.drawText(QRectF(axis.left, bottom + 22, axis.width, 16), Qt::AlignHCenter | Qt::AlignTop,
             QStringLiteral("time (UTC)"));

  const int inset = (kRowHeight - kBarHeight) / 2;
  for (size_t i = 0; i < rows && i < m_Bars.size(); ++i) {
    const archive::ChannelCoverage& c = m_Coverage.channels[i];
    p.setPen(Qt::black);
    p.drawText(QRect(0, RowTop(i), kLabelWidth - 8, kRowHeight), Qt::AlignRight | Qt::AlignVCenter,
               Q(c.station + " " + c.channel));
    for (const archive::PixelBar& b : m_Bars[i])
      p.fillRect(QRectF(b.x0, RowTop(i) + inset, b.x1 - b.x0, kBarHeight), spanColour);
    for (const archive::PixelBar& b : m_Overlaps[i])
      p.fillRect(QRectF(b.x0, RowTop(i) + 1, b.x1 - b.x0, kRowHeight - 2), overlapColour);
  }
}

CCoverageWindow::Loader CCoverageWindow::FromDatabase(std::string connect) {
  return [connect = std::move(connect)](const std::vector<std::string>& stations) {
    odbc::Connection database;
    database.Open(connect, 15);
    return archive::ReadCoverage(database, {}, [&](const std::string& sta, const std::string&) {
      return stations.empty() || std::binary_search(stations.begin(), stations.end(), sta);
    });
  };
}

CCoverageWindow::CCoverageWindow(QWidget* parent, QString archive, Loader loader)
    : QDialog(parent, Qt::Window), m_Archive(std::move(archive)), m_Load(std::move(loader)) {
  setObjectName(QStringLiteral("coverageWindow"));
  setWindowTitle(QStringLiteral("Coverage - Brevanto"));
  m_pScope = new QComboBox(this);
  m_pScope->setObjectName(QStringLiteral("scope"));
  m_pScope->addItem(QStringLiteral("Whole archive"));
  auto* refresh = new QPushButton(QStringLiteral("&Refresh"), this);
  m_pSave = new QPushButton(QStringLiteral("&Save..."), this);
  m_pSave->setObjectName(QStringLiteral("save"));
  auto* close = new QPushButton(QStringLiteral("Close"), this);
  m_pMessage = new QLabel(this);
  m_pMessage->setObjectName(QStringLiteral("message"));
  m_pMessage->setTextFormat(Qt::PlainText);
  m_pView = new CCoverageView;
  m_pScroll = new QScrollArea(this);
  m_pScroll->setWidget(m_pView);
  m_pScroll->setWidgetResizable(true);
  m_pScroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);

  auto* top = new QHBoxLayout;
  top->addWidget(m_pScope);
  top->addWidget(refresh);
  top->addWidget(m_pMessage, 1);
  top->addWidget(m_pSave);
  top->addWidget(close);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addWidget(m_pScroll, 1);
  resize(archive::SvgLayout::kWidth + 40, 640);

  connect(refresh, &QPushButton::clicked, this, &CCoverageWindow::Reload);
  connect(m_pScope, &QComboBox::activated, this, &CCoverageWindow::Reload);
  connect(m_pSave, &QPushButton::clicked, this, &CCoverageWindow::OnSave);
  connect(close, &QPushButton::clicked, this, &QDialog::close);
}

void CCoverageWindow::SetLastRunStations(std::vector<std::string> stations) {
  m_LastRun = std::move(stations);
  while (m_pScope->count() > 1) m_pScope->removeItem(1);
  if (!m_LastRun.empty())
    m_pScope->addItem(QStringLiteral("Stations of the last run (%1)").arg(m_LastRun.size()));
  m_pScope->setCurrentIndex(m_LastRun.empty() ? 0 : 1);
}

void CCoverageWindow::Reload() {
  const bool lastRun = m_pScope->currentIndex() == 1;
  // A table of a million rows takes seconds to read.
  QApplication::setOverrideCursor(Qt::WaitCursor);
  const auto restore = qScopeGuard([] { QApplication::restoreOverrideCursor(); });
  try {
    archive::Coverage c = m_Load(lastRun ? m_LastRun : std::vector<std::string>{});
    m_pMessage->setText(c.channels.empty() ? QStringLiteral("FILELIST holds no data files")
                                           : QStringLiteral("%1 channels, %2 FILELIST rows")
                                                 .arg(c.channels.size())
                                                 .arg(c.rows));
    m_pView->SetCoverage(std::move(c), m_Archive);
    // Opened the first time as tall as its rows, within reason.
    if (!isVisible()) resize(width(), std::clamp(m_pView->sizeHint().height() + 60, 240, 720));
  } catch (const std::exception& e) {
    m_pMessage->setText(QStringLiteral("Cannot read FILELIST: ") + QString::fromLocal8Bit(e.what()));
    m_pView->SetCoverage({}, m_Archive);
  }
}

bool CCoverageWindow::SaveSvg(const QString& path, QString& problem) const {
  const std::string svg = archive::CSvgCoverageWriter().Write(m_pView->Coverage(), m_Archive.toStdString());
  QFile f(path);
  if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
      f.write(svg.data(), static_cast<qint64>(svg.size())) != static_cast<qint64>(svg.size()) || !f.flush()) {
    problem = f.errorString();
    return false;
  }
  return true;
}

bool CCoverageWindow::SavePng(const QString& path, QString& problem) const {
  if (!m_pView->grab().save(path, "PNG")) {
    problem = QStringLiteral("cannot write ") + path;
    return false;
  }
  return true;
}

void CCoverageWindow::OnSave() {
  QString filter;
  QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Save coverage"), QStringLiteral("coverage.svg"),
                                              QStringLiteral("SVG (*.svg);;PNG (*.png)"), &filter);
  if (path.isEmpty()) return;
  const bool png = path.endsWith(QStringLiteral(".png"), Qt::CaseInsensitive) ||
                   (filter.startsWith(QStringLiteral("PNG")) && !path.endsWith(QStringLiteral(".svg"), Qt::CaseInsensitive));
  QString problem;
  if (png ? SavePng(path, problem) : SaveSvg(path, problem))
    m_pMessage->setText(QStringLiteral("Saved ") + path);
  else
    m_pMessage->setText(QStringLiteral("Cannot save: ") + problem);
}
