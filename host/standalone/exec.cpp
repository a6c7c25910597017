// exec
