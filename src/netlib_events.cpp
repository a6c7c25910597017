// netlib_events
