"""The napari plugin: the dock widget, its layers, sample data and a reader."""
