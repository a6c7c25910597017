// validate
