// proc
