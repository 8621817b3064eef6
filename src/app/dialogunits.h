#pragma once
// Geometry from dialog units: a horizontal unit is a quarter of the dialog
// font's average character width, a vertical unit an eighth of its height,
// so the layouts keep their proportions under any font and scale.
#include <QFont>
#include <QRect>

class CDialogUnits {
 public:
  explicit CDialogUnits(const QFont& font);
  QRect Rect(int x, int y, int width, int height) const;
  int X(int du) const;
  int Y(int du) const;

 private:
  double m_BaseX;
  double m_BaseY;
};
