#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <chrono>
#include <functional>

namespace tessaral {

// Frames that come faster than the screen refreshes are never seen, so one that follows its
// predecessor within a refresh is held back until the next and then taken with whatever came
// after it. The window is spared a wake-up and a paint per frame, and the decoder, whose frame
// slot stays untaken meanwhile, sends no further notice until then.
class FramePacer : public QObject {
    Q_OBJECT

  public:
    // `take` takes the newest frame from the client.
    explicit FramePacer(std::function<void()> take, QObject* parent = nullptr);

    // Once per refresh of the screen showing the frames (60 Hz until told).
    void setRefreshRate(double hertz);
    // The client has a new frame: taken now, or at the next refresh.
    void frameAvailable();
    // Takes a held-back frame now: the last picture of a session that ends is the newest one.
    void flush();
    // Forgets a held-back frame, whose client is going.
    void stop();

  private:
    void take();

    std::function<void()> take_;
    std::chrono::nanoseconds interval_{1'000'000'000 / 60};
    QElapsedTimer sinceTaken_;
    QTimer heldBack_;
};

}  // namespace tessaral
