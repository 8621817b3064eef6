#pragma once
// The dialog's coverage window: the timeline of what FILELIST holds, one row
// per station and channel, drawn with Qt. Hovering a bar shows its span and
// files, a gap its length; the picture can be saved as SVG or PNG.
#include <QDialog>
#include <QString>
#include <QWidget>
#include <functional>
#include <string>
#include <vector>

#include "archive/coverage.h"
#include "archive/timeline.h"

class QComboBox;
class QLabel;
class QPushButton;
class QScrollArea;

// The timeline itself.
class CCoverageView : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kLabelWidth = 150, kRightMargin = 20, kTop = 54, kRowHeight = 18, kBarHeight = 12,
                       kAxisHeight = 40;

  explicit CCoverageView(QWidget* parent = nullptr);
  void SetCoverage(archive::Coverage coverage, const QString& archive);
  const archive::Coverage& Coverage() const { return m_Coverage; }

  // The time axis at the widget's present width.
  archive::TimeAxis Axis() const;
  int RowTop(size_t row) const { return kTop + static_cast<int>(row) * kRowHeight; }

  // What lies under a point: a span (bar), a gap, an overlap, or nothing.
  struct Hit {
    enum Kind { kNone, kSpan, kGap, kOverlap } kind = kNone;
    size_t row = 0;
    double begin = 0, end = 0;
    uint64_t files = 0, spans = 0;
  };
  Hit HitAt(QPoint point) const;
  QString ToolTipAt(QPoint point) const;

  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  bool event(QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void Rebuild();
  archive::Coverage m_Coverage;
  QString m_Archive;
  std::vector<std::vector<archive::PixelBar>> m_Bars, m_Overlaps;  // per row, at the present width
};

class CCoverageWindow : public QDialog {
  Q_OBJECT

 public:
  // Reads the coverage of the stations given (all when empty); throws on a
  // database error with the text to show.
  using Loader = std::function<archive::Coverage(const std::vector<std::string>& stations)>;

  // Reads FILELIST through a connection of its own, opened for each reading.
  static Loader FromDatabase(std::string connect);

  CCoverageWindow(QWidget* parent, QString archive, Loader loader);
  // The stations of the last run, offered as the second scope.
  void SetLastRunStations(std::vector<std::string> stations);
  // Reads the coverage of the scope chosen.
  void Reload();

  CCoverageView* View() const { return m_pView; }
  QComboBox* Scope() const { return m_pScope; }
  QLabel* Message() const { return m_pMessage; }
  bool SaveSvg(const QString& path, QString& problem) const;
  bool SavePng(const QString& path, QString& problem) const;

 private:
  void OnSave();
  QString m_Archive;
  Loader m_Load;
  std::vector<std::string> m_LastRun;
  QComboBox* m_pScope = nullptr;
  QLabel* m_pMessage = nullptr;
  QScrollArea* m_pScroll = nullptr;
  CCoverageView* m_pView = nullptr;
  QPushButton* m_pSave = nullptr;
};
