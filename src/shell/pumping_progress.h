// A progress view for runs on the GUI thread (spktal, swg): it passes every update on to the
// progress window and then lets the event loop run, so that the window paints and a Cancel
// press reaches the record while the run goes on.
#pragma once

#include <QCoreApplication>

#include "params/progress.h"

namespace ephys {

class PumpingProgressView final : public ProgressView {
  public:
    explicit PumpingProgressView(ProgressView& shown) : shown_(shown) {}
    void update(const ProgressSnapshot& snapshot) override {
        shown_.update(snapshot);
        QCoreApplication::processEvents();
    }

  private:
    ProgressView& shown_;
};

}  // namespace ephys
