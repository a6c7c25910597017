// variant
