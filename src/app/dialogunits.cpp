#include "app/dialogunits.h"

#include <QFontMetricsF>
#include <cmath>

CDialogUnits::CDialogUnits(const QFont& font) {
  QFontMetricsF fm(font);
  m_BaseX = fm.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) / 52.0;
  m_BaseY = fm.height();
}

int CDialogUnits::X(int du) const { return static_cast<int>(std::lround(du * m_BaseX / 4.0)); }

int CDialogUnits::Y(int du) const { return static_cast<int>(std::lround(du * m_BaseY / 8.0)); }

QRect CDialogUnits::Rect(int x, int y, int width, int height) const {
  return QRect(X(x), Y(y), X(x + width) - X(x), Y(y + height) - Y(y));
}
