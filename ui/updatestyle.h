#pragma once

#include <QString>

class QWidget;

namespace svd {

// What the primary button of the update bar and dialog does.
enum class UpdateAction {
    Install = 0,  // restart and run the verified installer
    Download = 1, // open the release page in the browser
    System = 2,   // none: the system's software updates bring it (our apt source)
};

// The one style sheet of the update bar and the update dialog.
QString updateUiStyle();

// "Перезапустить и обновить", "Скачать", or nothing for System (no button).
QString updatePrimaryText(UpdateAction action);

// Re-applies the style sheet rules after an object name change.
void repolish(QWidget *widget);

} // namespace svd
