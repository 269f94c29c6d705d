// Non-template helpers of the single-record device.
