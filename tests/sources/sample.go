// Package ledger keeps account balances and the transfers between them.
package ledger

import "errors"

type Account struct {
	ID      string
	Balance int64
}

type Ledger struct {
	accounts map[string]*Account
}

type Store interface {
	Load(id string) (*Account, error)
}

var ErrFunds = errors.New("insufficient funds")

func NewLedger() *Ledger {
	return &Ledger{accounts: make(map[string]*Account)}
}

func (l *Ledger) Transfer(from, to string, amount int64) error {
	source := l.accounts[from]
	if source.Balance < amount {
		return ErrFunds
	}
	apply := func(account *Account, delta int64) {
		account.Balance += delta
	}
	apply(source, -amount)
	apply(l.accounts[to], amount)
	return nil
}

func (l *Ledger) Total() int64 {
	var total int64
	for _, account := range l.accounts {
		total += account.Balance
	}
	return total +
}

func (a Account) String() string {
	return a.ID
}
