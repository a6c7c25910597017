// netlib_iface
