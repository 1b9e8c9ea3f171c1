// The flags of a record's place (the last item of each trace_aim_spans
// entry): made by the finder, read by the tracer.
#pragma once

namespace vdx {

enum RecordFlags {
    kPredictUnknown = 1,  // the value after cannot be told before the statement runs
    kBinding = 2,         // the statement rebinds the name (else it mutates the value)
    kConfirmByValue = 4,  // its code starts before a test that decides whether it binds:
                          // reported at the frame's next event if the name was rebound
};

}  // namespace vdx
