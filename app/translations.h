#pragma once

class QCoreApplication;

// Loads Qt's own translations for the interface language (Simplified Chinese), so that
// standard buttons and context menus speak it like the rest of the window. Returns false, and
// leaves Qt's English texts in place, when the translation files are not installed.
bool installQtTranslations(QCoreApplication &app);
