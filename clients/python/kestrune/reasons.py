"""The helper's stop reasons and the exit code each one ends with."""

STOP_REASONS = {
    "stop": 0,
    "maxRun": 0,
    "stdinClosed": 2,
    "hbTimeout": 3,
    "parentGone": 4,
    "elevated": 5,
    "noJob": 6,
    "already": 7,
    "badVersion": 8,
    "protocol": 9,
    "fatal": 9,
}

ERROR_CODES = ("badLine", "cpuWorker", "timer", "gpuDeviceRemoved", "gpuSlow", "fatal")
