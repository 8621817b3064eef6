#pragma once
#include <QIcon>

// The program's icon (a seismogram trace), from the embedded resources.
QIcon AppIcon();
