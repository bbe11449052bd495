#!/usr/bin/python3
"""A Qt Widgets window for the desktop tests, through PyQt6 or PyQt5: a line edit, a password
line edit, a text edit and a last line edit, in that focus order."""
import argparse
import sys

parser = argparse.ArgumentParser()
parser.add_argument("--title", required=True)
parser.add_argument("--qt", choices=("5", "6"), default="6")
args = parser.parse_args()

if args.qt == "6":
    from PyQt6.QtWidgets import QApplication, QLineEdit, QTextEdit, QVBoxLayout, QWidget

    password = QLineEdit.EchoMode.Password
else:
    from PyQt5.QtWidgets import QApplication, QLineEdit, QTextEdit, QVBoxLayout, QWidget

    password = QLineEdit.Password

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
window.show()
line.setFocus()
sys.exit(app.exec())
