// placeholder, replaced by the batch driver
