// random
