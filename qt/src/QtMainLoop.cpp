#include "sparkler/QtMainLoop.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include <QCoreApplication>
#include <QMetaObject>
#include <QTimer>

namespace sparkler {

void QtMainLoop::post(std::function<void()> fn) {
  if (!fn) return;
  std::lock_guard lock(mutex_);
  QCoreApplication* application = QCoreApplication::instance();
  if (closed_ || application == nullptr) return;
  QMetaObject::invokeMethod(application, std::move(fn), Qt::QueuedConnection);
}

void QtMainLoop::close() {
  std::lock_guard lock(mutex_);
  closed_ = true;
}

void QtMainLoop::postAfter(Seconds delay, std::function<void()> fn) {
  if (!fn) return;
  const double seconds = std::max(0.0, delay.count());
  const double milliseconds =
      std::min(std::ceil(seconds * 1000.0), double(std::numeric_limits<int>::max()));
  // Qt timers only work on a thread with an event loop, and callers may be worker threads:
  // arm the timer from the GUI thread.
  post([milliseconds, fn = std::move(fn)]() mutable {
    QTimer::singleShot(static_cast<int>(milliseconds), Qt::PreciseTimer,
                       QCoreApplication::instance(), std::move(fn));
  });
}

}  // namespace sparkler
