// file
