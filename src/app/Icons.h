#pragma once

#include <QIcon>

// The globe of an icon resource (IDR_MAINFRAME, IDI_CAPTURING, IDI_IDLE) in all its sizes.
QIcon LoadAppIcon(int resource);
