"""Count tables in the layouts that pipelines already read."""
