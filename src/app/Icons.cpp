#include "app/Icons.h"

#include <QString>

#include "app/Resource.h"

static void InitResources() {
    Q_INIT_RESOURCE(strevix);
}

void EnsureAppResources() {
    // A static library's resources are registered by hand, once.
    static const bool done = (InitResources(), true);
    (void)done;
}

QIcon LoadAppIcon(int resource) {
    EnsureAppResources();
    const char* colour = resource == IDI_CAPTURING ? "green"
                         : resource == IDI_IDLE    ? "grey"
                                                   : "blue";
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 72, 96, 128, 256})
        icon.addFile(QString(":/icons/globe-%1-%2.png").arg(colour).arg(size), QSize(size, size));
    return icon;
}
