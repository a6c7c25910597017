// netlib_netm
