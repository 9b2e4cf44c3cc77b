// placeholder, replaced by the core records
