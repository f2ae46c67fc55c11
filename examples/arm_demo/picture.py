def draw(analysis, controller, drive, path):
    return path
