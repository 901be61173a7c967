// The window's string table for this platform: the texts that name the platform, looked up through
// Qt's translation machinery under the window's fixed texts as keys.
#pragma once

#include <QTranslator>

class PlatformWording : public QTranslator {
 public:
  using QTranslator::QTranslator;
  QString translate(const char* context, const char* sourceText, const char* disambiguation = nullptr,
                    int n = -1) const override;
  bool isEmpty() const override;
};
