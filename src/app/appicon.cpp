#include "app/appicon.h"

// Outside any namespace, as Q_INIT_RESOURCE requires. The resources live in
// a static library, so they must be registered explicitly.
static void InitAppResources() { Q_INIT_RESOURCE(brevanto); }

QIcon AppIcon() {
  InitAppResources();
  QIcon icon;
  for (int size : {16, 24, 32, 48, 64, 128, 256})
    icon.addFile(QStringLiteral(":/brevanto/icons/brevanto-%1.png").arg(size), QSize(size, size));
  return icon;
}
