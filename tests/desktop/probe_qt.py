#!/usr/bin/python3
"""A Qt Widgets window for the desktop tests, through PyQt6 or PyQt5: a line edit, a password
line edit (Alt+R shows its text), a text edit and a last line edit, in that focus order."""
import argparse
import sys

parser = argparse.ArgumentParser()
parser.add_argument("--title", required=True)
parser.add_argument("--qt", choices=("5", "6"), default="6")
args = parser.parse_args()

if args.qt == "6":
    from PyQt6.QtGui import QKeySequence, QShortcut
    from PyQt6.QtWidgets import QApplication, QLineEdit, QTextEdit, QVBoxLayout, QWidget

    password, normal = QLineEdit.EchoMode.Password, QLineEdit.EchoMode.Normal
else:
    from PyQt5.QtGui import QKeySequence
    from PyQt5.QtWidgets import QApplication, QLineEdit, QShortcut, QTextEdit, QVBoxLayout, QWidget

    password, normal = QLineEdit.Password, QLineEdit.Normal

app = QApplication([sys.argv[0]])
window = QWidget()
window.setWindowTitle(args.title)
window.resize(520, 320)
layout = QVBoxLayout(window)
line = QLineEdit()
secret = QLineEdit()
secret.setEchoMode(password)
text = QTextEdit()
after = QLineEdit()
for widget in (line, secret, text, after):
    layout.addWidget(widget)
# Alt+R shows the password, as a "show password" toggle does, without moving the focus.
QShortcut(QKeySequence("Alt+R"), window).activated.connect(lambda: secret.setEchoMode(normal))
window.show()
line.setFocus()
sys.exit(app.exec())
