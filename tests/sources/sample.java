package org.example.library;

import java.util.ArrayList;
import java.util.List;

/** A lending library: books, members and the loans between them. */
public class Library {
    private final List<Book> books = new ArrayList<>();

    public Library() {
    }

    public void addBook(Book book) {
        books.add(book);
    }

    public List<Book> available() {
        List<Book> result = new ArrayList<>();
        for (Book book : books) {
            if (!book.isOnLoan()) {
                result.add(book);
            }
        }
        return result;
    }

    static class Book {
        private final String title;
        private boolean onLoan;

        Book(String title) {
            this.title = title;
        }

        boolean isOnLoan() {
            return onLoan;
        }

        void lend() {
            onLoan = true
        }
    }

    interface Notifier {
        void overdue(Book book);
    }

    private int countOnLoan() {
        return (int) books.stream().filter(Book::isOnLoan).count();
    }
}
